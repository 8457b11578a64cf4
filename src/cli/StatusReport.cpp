#include "cli/StatusReport.h"

#include "base/FileOps.h"
#include "base/Version.h"
#include "base/AppError.h"
#include "demucs/ManagedPython.h"
#include "demucs/PythonProbes.h"
#include "process/ChildProcess.h"
#include "ytdlp/YtDlpLocator.h"

#include <QFileInfo>
#include <QJsonArray>

namespace cli {
namespace {

// A version query that hangs (a broken tool, a slow network mount) must not hold the report.
constexpr int versionTimeLimitMs = 20000;
// Where the Python row is in the list: its path comes from the finder, later.
constexpr int pythonRow = 2;

QStringList versionArguments(const QString& tool)
{
    if (tool == QLatin1String("ffmpeg"))
        return {QStringLiteral("-version")};
    if (tool == QLatin1String("unzip"))
        return {QStringLiteral("-v")};
    if (tool == QLatin1String("afconvert"))
        return {};  // it has no version option
    return {QStringLiteral("--version")};
}

}  // namespace

QString versionFromOutput(const QByteArray& output)
{
    const QString text = QString::fromUtf8(output).trimmed();
    const QString firstLine = text.section(QLatin1Char('\n'), 0, 0).trimmed();
    const QStringList words = firstLine.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& word : words) {
        if (word.front().isDigit())
            return word;
    }
    return firstLine;
}

StatusReport::StatusReport(const Toolbox& tools, QObject* parent) : QObject(parent), m_tools(tools) {}

StatusReport::~StatusReport()
{
    // The children go first: their destructors kill and reap them, silently.
    for (const QPointer<QObject>& child : std::as_const(m_children))
        delete child.data();
}

void StatusReport::start()
{
    const PlatformProfile& profile = m_tools.profile();
    m_found = {
        {QStringLiteral("yt-dlp"), m_tools.findYtDlp().value_or(QString()), {}},
        {QStringLiteral("Deno"), ytdlp::firstUsable(m_tools.denoCandidates()).value_or(QString()), {}},
        {QStringLiteral("Python"), {}, {}},
        {profile.converterName, m_tools.findTool(profile.converterPath).value_or(QString()), {}},
        {QStringLiteral("curl"), m_tools.findTool(profile.curlPath).value_or(QString()), {}},
        {QStringLiteral("unzip"), m_tools.findTool(profile.unzipPath).value_or(QString()), {}},
    };
    m_saveFolder = m_tools.storedSaveFolder().value_or(m_tools.defaultSaveFolder());
    const QString python = m_tools.managedDemucsPython();
    m_environment.folder = QFileInfo(QFileInfo(python).path()).path();
    m_environment.installed = fileops::isExecutableFile(python);

    // Counted before anything starts: a child that cannot start reports at once.
    m_pending = int(m_found.size()) + 1 + (m_environment.installed ? 1 : 0);
    for (int i = 0; i < m_found.size(); ++i) {
        if (i != pythonRow)
            queryVersion(i);
    }
    // The Python the Demucs installer would build the environment with.
    try {
        m_managedPythonFolder = demucs::managedPythonFolder(m_tools.appSupportFolder());
    } catch (const AppError&) {
        // No support folder: no Python of Stemloft's own either.
    }
    auto* finder = new demucs::PythonFinder(profile, m_tools.processEnvironment(), m_managedPythonFolder, this);
    m_children << finder;
    connect(finder, &demucs::PythonFinder::finished, this, [this](const std::optional<QString>& found, bool) {
        m_found[pythonRow].path = found.value_or(QString());
        m_found[pythonRow].ownCopy =
            found && !m_managedPythonFolder.isEmpty() && fileops::isInsideFolder(*found, m_managedPythonFolder);
        queryVersion(pythonRow);
        oneDone();
    });
    finder->start();
    if (m_environment.installed) {
        m_children << demucs::probeManagedEnvironment(this, python, m_tools.demucsEnvironment(),
                                                      profile.probeTimeLimitMs,
                                                      [this](const demucs::ProbeAnswer& answer) {
                                                          m_environment.answer = answer;
                                                          oneDone();
                                                      });
    }
}

void StatusReport::queryVersion(int index)
{
    const Tool& tool = m_found.at(index);
    const QStringList arguments = versionArguments(tool.name);
    if (tool.path.isEmpty() || arguments.isEmpty()) {
        oneDone();
        return;
    }
    auto* child = new ChildProcess(this);
    m_children << child;
    child->setProgram(tool.path);
    child->setArguments(arguments);
    child->setEnvironment(m_tools.processEnvironment());
    child->setOutput(ChildProcess::Output::capture);
    child->setTimeLimit(versionTimeLimitMs);
    connect(child, &ChildProcess::finished, this, [this, index, child](const RunResult& result) {
        if (result.ok())
            m_found[index].version = versionFromOutput(child->capturedOutput());
        oneDone();
    });
    if (!child->start())
        oneDone();
}

void StatusReport::oneDone()
{
    if (--m_pending == 0)
        emit finished();
}

QStringList StatusReport::lines() const
{
    QStringList lines{QStringLiteral("Stemloft ") + applicationVersion()};
    for (const Tool& tool : m_found) {
        if (tool.path.isEmpty())
            lines << tool.name + QStringLiteral(": not found");
        else {
            QStringList notes;
            if (!tool.version.isEmpty())
                notes << tool.version;
            if (tool.ownCopy)
                notes << QStringLiteral("installed by Stemloft");
            lines << tool.name + QStringLiteral(": ") + tool.path +
                         (notes.isEmpty() ? QString() : QStringLiteral(" (") + notes.join(QStringLiteral(", ")) + QLatin1Char(')'));
        }
    }
    QString environment = QStringLiteral("Demucs environment: ");
    const demucs::ProbeAnswer& answer = m_environment.answer;
    if (!m_environment.installed) {
        environment += QStringLiteral("not installed");
    } else if (answer.compatible) {
        environment += m_environment.folder + QStringLiteral(" (ready");
        const QString device = demucs::deviceLine(answer.device).section(QStringLiteral(": "), 1);
        environment += (device.isEmpty() ? QString() : QStringLiteral(", ") + device) + QLatin1Char(')');
    } else {
        environment += m_environment.folder + QStringLiteral(" (fails its check: ") + answer.reason + QLatin1Char(')');
    }
    lines << environment << QStringLiteral("Save folder: ") + m_saveFolder;
    return lines;
}

QJsonObject StatusReport::json() const
{
    QJsonArray tools;
    for (const Tool& tool : m_found) {
        QJsonObject entry{
            {QStringLiteral("name"), tool.name},
            {QStringLiteral("path"), tool.path.isEmpty() ? QJsonValue() : QJsonValue(tool.path)},
            {QStringLiteral("version"), tool.version.isEmpty() ? QJsonValue() : QJsonValue(tool.version)},
        };
        if (tool.ownCopy)
            entry.insert(QStringLiteral("installedByStemloft"), true);
        tools.append(entry);
    }
    QJsonObject environment{{QStringLiteral("folder"), m_environment.folder}};
    const demucs::ProbeAnswer& answer = m_environment.answer;
    if (!m_environment.installed) {
        environment.insert(QStringLiteral("state"), QStringLiteral("missing"));
    } else if (answer.compatible) {
        environment.insert(QStringLiteral("state"), QStringLiteral("ready"));
        environment.insert(QStringLiteral("device"), demucs::deviceLine(answer.device).section(QStringLiteral(": "), 1));
    } else {
        environment.insert(QStringLiteral("state"), QStringLiteral("broken"));
        environment.insert(QStringLiteral("reason"), answer.reason);
    }
    return {
        {QStringLiteral("version"), applicationVersion()},
        {QStringLiteral("tools"), tools},
        {QStringLiteral("demucsEnvironment"), environment},
        {QStringLiteral("saveFolder"), m_saveFolder},
    };
}

}  // namespace cli
