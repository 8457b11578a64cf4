#include "demucs/ManagedPython.h"

#include "base/Background.h"
#include "base/FileOps.h"

#include <QDir>
#include <QThread>
#include <QRegularExpression>

#include <algorithm>

namespace demucs {

QString managedPythonFolder(const QString& supportFolder)
{
    return fileops::appendingComponent(supportFolder, QStringLiteral("python"));
}

QString managedUv(const QString& supportFolder)
{
    return fileops::appendingComponent(supportFolder, QStringLiteral("uv"));
}

QStringList managedPythonCandidates(const QString& folder)
{
    // "cpython-3.12.8-linux-x86_64-gnu", "cpython-3.12.8+freethreaded-…":
    // only the regular builds, whose extension modules PyTorch's wheels fit.
    static const QRegularExpression installation(QStringLiteral(R"(^cpython-3\.(9|1[0-2])\.(\d+)-)"));
    struct Found {
        int minor, patch;
        QString python;
    };
    QList<Found> found;
    const QStringList names = QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString& name : names) {
        const QRegularExpressionMatch match = installation.match(name);
        if (!match.hasMatch())
            continue;
        const QString minor = match.captured(1);
        found.append({minor.toInt(), match.captured(2).toInt(),
                      folder + QLatin1Char('/') + name + QStringLiteral("/bin/python3.") + minor});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return std::tie(b.minor, b.patch) < std::tie(a.minor, a.patch);
    });
    QStringList out;
    for (const Found& f : std::as_const(found))
        out << f.python;
    return out;
}

QString uvCacheFolder(const QString& supportFolder)
{
    return fileops::appendingComponent(supportFolder, QStringLiteral("uv-cache"));
}

QString uvPythonDownloads(const QString& supportFolder)
{
    return fileops::appendingComponent(uvCacheFolder(supportFolder), QStringLiteral("python"));
}

QProcessEnvironment uvEnvironment(QProcessEnvironment environment, const QString& supportFolder)
{
    // The user's uv settings (an index, a mirror, "python-downloads = never")
    // are for the user's projects, not for this Python.
    for (const QString& key : environment.keys()) {
        if (key.startsWith(QLatin1String("UV_")))
            environment.remove(key);
    }
    environment.insert(QStringLiteral("UV_NO_CONFIG"), QStringLiteral("1"));
    environment.insert(QStringLiteral("UV_CACHE_DIR"), uvCacheFolder(supportFolder));
    // Python's archive goes here first, where its growth can be watched.
    environment.insert(QStringLiteral("UV_PYTHON_CACHE_DIR"), uvPythonDownloads(supportFolder));
    environment.insert(QStringLiteral("UV_PYTHON_INSTALL_DIR"), managedPythonFolder(supportFolder));
    // No "python3.12" in ~/.local/bin: the user did not install this Python.
    environment.insert(QStringLiteral("UV_PYTHON_INSTALL_BIN"), QStringLiteral("0"));
    environment.insert(QStringLiteral("UV_MANAGED_PYTHON"), QStringLiteral("1"));
    environment.insert(QStringLiteral("UV_NO_PROGRESS"), QStringLiteral("1"));
    return environment;
}

PythonInstall::PythonInstall(Params params, QObject* parent)
    : QObject(parent), m_params(std::move(params)), m_ticker(m_params.progressIntervalMs)
{
    connect(&m_ticker, &DownloadTicker::ticked, this, &PythonInstall::downloaded);
}

PythonInstall::~PythonInstall()
{
    if (m_removal)
        m_removal->wait();
    delete m_uvDownload.data();  // it removes its own files
    if (!m_running)
        return;
    if (m_child && m_child->isActive())
        m_child->killAndReap();
    for (const QString& item : debris())
        fileops::removeItemQuietly(item);
}

QStringList PythonInstall::leftovers(const QString& supportFolder)
{
    const QString uv = managedUv(supportFolder);
    return {uv + QStringLiteral(".tar.gz.download"), uv + QStringLiteral(".tar.gz.sha256.download"),
            uv + QStringLiteral(".unpack"), uvCacheFolder(supportFolder),
            fileops::appendingComponent(managedPythonFolder(supportFolder), QStringLiteral(".temp"))};
}

QStringList PythonInstall::debris() const
{
    return {managedUv(m_params.supportFolder), managedPythonFolder(m_params.supportFolder),
            uvCacheFolder(m_params.supportFolder)};
}

void PythonInstall::start()
{
    m_running = true;
    // What an install that never ended left goes first; whatever Python is
    // there failed the search.
    m_removal = fileops::removeItemsQuietlyInBackground(debris(), this, [this] {
            m_removal = nullptr;
            if (m_stopped) {
                discard(Outcome::stopped, {});
                return;
            }
            ToolDownload::Params uv;
            uv.name = QStringLiteral("uv");
            uv.curl = m_params.curl;
            uv.archiveURL = m_params.uvURL;
            uv.checksumSuffix = QStringLiteral(".sha256");
            uv.unpacker = m_params.tar;
            // "uv-TARGET.tar.gz" holds "uv-TARGET/uv" and "uv-TARGET/uvx".
            uv.member = fileops::lastComponent(m_params.uvURL).chopped(7) + QStringLiteral("/uv");
            uv.destination = managedUv(m_params.supportFolder);
            uv.environment = m_params.environment;
            uv.progressIntervalMs = m_params.progressIntervalMs;
            m_uvDownload = new ToolDownload(uv, this);
            connect(m_uvDownload, &ToolDownload::logEntries, this, &PythonInstall::logEntries);
            connect(m_uvDownload, &ToolDownload::downloaded, this, &PythonInstall::downloaded);
            connect(m_uvDownload, &ToolDownload::finished, this, &PythonInstall::onUvDownloaded);
            m_uvDownload->start();
        });
}

void PythonInstall::stop()
{
    if (!m_running || m_stopped)
        return;
    m_stopped = true;
    if (m_uvDownload)
        m_uvDownload->stop();
    else if (m_child)
        m_child->stop();
    // A removal under way sees the stop when it ends.
}

bool PythonInstall::runUv(const QStringList& arguments, ChildProcess::Output output, int timeLimitMs,
                          void (PythonInstall::*done)(const RunResult&))
{
    ChildProcess* child = fetch::newStep(this, m_child, managedUv(m_params.supportFolder), arguments,
                                         uvEnvironment(m_params.environment, m_params.supportFolder),
                                         [this](const QString& text) { emit logEntries(splitOutputLines(text)); });
    // No project around it: uv reads ".python-version" and pyproject files
    // from the working folder up.
    child->setWorkingDirectory(m_params.supportFolder);
    child->setOutput(output);
    if (timeLimitMs > 0)
        child->setTimeLimit(timeLimitMs);
    connect(child, &ChildProcess::finished, this, done);
    return child->start();
}

void PythonInstall::onUvDownloaded(ToolDownload::Outcome outcome, const QString& reason)
{
    m_uvDownload->deleteLater();  // it ended inside its own signal
    m_uvDownload = nullptr;
    if (outcome != ToolDownload::Outcome::installed) {
        discard(outcome == ToolDownload::Outcome::stopped ? Outcome::stopped : Outcome::failed, reason);
        return;
    }
    if (m_stopped) {
        discard(Outcome::stopped, {});
        return;
    }
    if (!runUv({QStringLiteral("python"), QStringLiteral("install"), managedPythonVersion},
               ChildProcess::Output::stream, 0, &PythonInstall::onPythonInstalled)) {
        discard(Outcome::failed, QStringLiteral("uv could not be started: ") + m_child->result().error);
        return;
    }
    m_ticker.start(uvPythonDownloads(m_params.supportFolder));
}

void PythonInstall::onPythonInstalled(const RunResult& result)
{
    m_ticker.stop();
    if (result.outcome == RunResult::Outcome::stopped || m_stopped) {
        discard(Outcome::stopped, {});
        return;
    }
    if (result.status != 0) {
        discard(Outcome::failed,
                failureMessage(result, QStringLiteral("uv"),
                               QStringLiteral("uv python install failed with exit code %1.").arg(result.status)));
        return;
    }
    if (!runUv({QStringLiteral("python"), QStringLiteral("find"), managedPythonVersion},
               ChildProcess::Output::stdoutOnly, m_params.findTimeLimitMs, &PythonInstall::onPythonFound))
        discard(Outcome::failed, QStringLiteral("uv could not be started: ") + m_child->result().error);
}

void PythonInstall::onPythonFound(const RunResult& result)
{
    if (result.outcome == RunResult::Outcome::stopped || m_stopped) {
        discard(Outcome::stopped, {});
        return;
    }
    const QString folder = managedPythonFolder(m_params.supportFolder);
    const QString python = QString::fromUtf8(m_child->capturedOutput()).trimmed().section(QLatin1Char('\n'), -1);
    if (!result.ok()) {
        discard(Outcome::failed,
                failureMessage(result, QStringLiteral("uv"),
                               QStringLiteral("uv python find failed with exit code %1.").arg(result.status)));
        return;
    }
    // Only a Python of the folder just filled is this install's.
    if (!fileops::isInsideFolder(python, folder) || !fileops::isExecutableFile(python)) {
        discard(Outcome::failed, QStringLiteral("uv named no Python %1 in %2.").arg(managedPythonVersion, folder));
        return;
    }
    m_running = false;
    // Python's archive is not needed again.
    fileops::removeItemQuietly(uvCacheFolder(m_params.supportFolder));
    emit finished(Outcome::installed, python);
}

void PythonInstall::discard(Outcome outcome, const QString& reason)
{
    m_ticker.stop();
    // A half-installed Python is thousands of files: removed off the caller's thread.
    m_removal = fileops::removeItemsQuietlyInBackground(debris(), this, [this, outcome, reason] {
            m_removal = nullptr;
            m_running = false;
            emit finished(outcome, reason);
        });
}

}  // namespace demucs
