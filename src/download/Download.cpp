// The download: yt-dlp's output becomes log entries, progress and the file.
#include "download/DownloadJob.h"
#include "download/DownloadOutput.h"

#include "app/AppError.h"
#include "app/FileOps.h"
#include "app/Ownership.h"
#include "app/SaveFolder.h"

#include <QCoreApplication>
#include <QUuid>

#include <QDir>
#include <QRegularExpression>

#include <climits>
#include <cmath>

namespace download {

std::optional<QString> downloadedFilePath(const QString& line, const QString& saveFolder)
{
    return DownloadedFileMatcher(saveFolder).match(line);
}

DownloadedFileMatcher::DownloadedFileMatcher(const QString& saveFolder)
    : m_currentDir(QDir::currentPath()), m_folder(fileops::standardizedPath(saveFolder))
{
}

DownloadedFileMatcher::DownloadedFileMatcher(const QString& saveFolder, const QString& currentDir)
    : m_currentDir(currentDir), m_folder(fileops::standardizedPath(saveFolder))
{
}

std::optional<QString> DownloadedFileMatcher::match(const QString& line) const
{
    // No file has a longer path (stat(2) would say ENAMETOOLONG), and making
    // a path of a megabyte-long line takes time the window does not have.
    if (line.size() >= PATH_MAX)
        return std::nullopt;
    const QString candidate = fileops::fileURLPath(line, m_currentDir);
    const QString standardized = QDir::cleanPath(candidate);
    // The folder itself is no downloaded file.
    if (standardized == m_folder || !fileops::isInsideStandardizedFolder(standardized, m_folder) ||
        !fileops::itemExists(candidate))
        return std::nullopt;
    return standardized;
}

std::optional<double> progressPercent(QStringView line)
{
    if (!line.startsWith(QLatin1String("[download]")))
        return std::nullopt;
    static const QRegularExpression pattern(QStringLiteral("^\\[download\\]\\s+(\\d{1,3}(?:\\.\\d+)?)%"));
    const QRegularExpressionMatch match = pattern.match(line);
    if (!match.hasMatch())
        return std::nullopt;
    const double value = match.captured(1).toDouble();
    if (value > 100)
        return std::nullopt;
    return value;
}

QStringList abandonedPrivateFolders(const QString& saveFolder, const QDateTime& now)
{
    return ownership::abandonedFolders(saveFolder, privateFolderPrefix, now);
}

std::optional<Hint> hintFor(QStringView line)
{
    if (!line.startsWith(QLatin1String("ERROR:")) && !line.startsWith(QLatin1String("WARNING:")))
        return std::nullopt;
    static const struct {
        const char* needle;
        const char* hint;
    } table[] = {
        {"Sign in to confirm", "YouTube asks for a signed-in browser: choose your browser under Cookies and try again."},
        {"No supported JavaScript runtime", "yt-dlp needs Deno for YouTube: choose Update yt-dlp to install it."},
        {"HTTP Error 403", "The site changed: choose Update yt-dlp and try again."},
        {"Requested format is not available", "The site changed: choose Update yt-dlp and try again."},
        {"Unable to extract", "The site changed: choose Update yt-dlp and try again."},
        {"Unsupported URL", "yt-dlp cannot download from this address."},
        {"Temporary failure in name resolution", "Check the internet connection and try again."},
        {"Network is unreachable", "Check the internet connection and try again."},
        {"timed out", "Check the internet connection and try again."},
    };
    for (int rank = 0; rank < int(std::size(table)); ++rank) {
        if (line.contains(QLatin1String(table[rank].needle), Qt::CaseInsensitive))
            return Hint{rank, QString::fromLatin1(table[rank].hint)};
    }
    return std::nullopt;
}

}  // namespace download

DownloadJob::DownloadJob(Params params, QObject* parent)
    : Job(parent), m_params(std::move(params)), m_matcher(m_params.saveFolder)
{
    connect(&m_child, &ChildProcess::output, this, &DownloadJob::handleOutput);
    connect(&m_child, &ChildProcess::finished, this, &DownloadJob::onFinished);
}

QStringList DownloadJob::arguments(const QString& url, const QString& privateFolder, const QString& cookiesBrowser)
{
    // "--progress": "--print" alone silences progress output.
    QStringList arguments = {
        QStringLiteral("--newline"),
        QStringLiteral("--progress"),
        QStringLiteral("--no-playlist"),
        QStringLiteral("--print"),
        QStringLiteral("after_move:filepath"),
        QStringLiteral("-f"),
        QStringLiteral("bestaudio[ext=m4a]/bestaudio"),
        // Relative to the save folder, the working directory: yt-dlp would
        // read "%" or "$NAME" in an absolute folder's name as a field or a
        // variable. The finished file is moved out of the temporary folder.
        QStringLiteral("-P"),
        QStringLiteral("temp:") + privateFolder,
        QStringLiteral("-o"),
        QStringLiteral("%(title).120B [%(id)s].%(ext)s"),
    };
    if (!cookiesBrowser.isEmpty())
        arguments << QStringLiteral("--cookies-from-browser") << cookiesBrowser.toLower();
    // "--": a URL beginning with "-" must not be read as an option.
    arguments << QStringLiteral("--") << url;
    return arguments;
}

void DownloadJob::start()
{
    const QString folder = fileops::fileURLPath(m_params.saveFolder);
    if (const std::optional<QString> problem = savefolder::problem(folder)) {
        failUnusableSaveFolder(m_params.saveFolder + QStringLiteral(": ") + *problem);
        return;
    }
    const QString privateName = download::privateFolderPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString privateFolder = fileops::appendingComponent(folder, privateName);
    try {
        fileops::createDirectories(privateFolder);
        // A later start removes it should this run be killed.
        ownership::writeOwnerFile(privateFolder, QCoreApplication::applicationPid());
    } catch (const AppError& error) {
        fileops::removeItemQuietly(privateFolder);
        failUnusableSaveFolder(m_params.saveFolder + QStringLiteral(": ") + error.localizedDescription());
        return;
    }
    m_privateFolder = privateFolder;
    m_matcher = download::DownloadedFileMatcher(m_params.saveFolder, folder);
    emit logCleared();
    emit stage(QStringLiteral("Downloading"));
    emit progress(-1);
    if (m_params.saveFolderDefaulted)
        log(savefolder::defaultedMessage(m_params.saveFolder));
    QStringList opening = {QStringLiteral("Using: ") + m_params.executable,
                           QStringLiteral("Saving to: ") + m_params.saveFolder};
    if (!m_params.cookiesBrowser.isEmpty())
        opening << QStringLiteral("Cookies from: ") + m_params.cookiesBrowser;
    opening << QStringLiteral("Starting...");
    emit logEntries(opening);

    m_child.setProgram(m_params.executable);
    m_child.setArguments(arguments(m_params.url, privateName, m_params.cookiesBrowser));
    m_child.setEnvironment(m_params.environment);
    m_child.setWorkingDirectory(folder);
    if (!m_child.start()) {
        removePrivateFolder();
        log(QStringLiteral("Failed to start yt-dlp: ") + m_child.result().error);
        finishWith(Outcome::failed);
    }
}

DownloadJob::~DownloadJob()
{
    if (hasFinished())
        return;
    // Gone mid-run (the application quits): the child first, then its debris.
    m_child.killAndReap();
    removePrivateFolder();
}

void DownloadJob::removePrivateFolder()
{
    if (!m_privateFolder.isEmpty())
        fileops::removeItemQuietly(std::exchange(m_privateFolder, QString()));
}

void DownloadJob::stop()
{
    m_child.stop();
}

void DownloadJob::handleOutput(const QString& text)
{
    // One batch of entries per chunk; the file line splits it so the audio
    // file is set exactly when its line is logged.
    QStringList batch;
    std::optional<double> percent;
    for (const QString& line : splitOutputLines(text)) {
        if (const std::optional<QString> file = m_matcher.match(line)) {
            if (!batch.isEmpty())
                emit logEntries(std::exchange(batch, {}));
            m_file = *file;
            emit audioFile(*file);
            batch << QStringLiteral("Downloaded file: ") + *file;
            continue;
        }
        if (const auto p = download::progressPercent(line))
            percent = p;
        else if (auto hint = download::hintFor(line); hint && (!m_hint || hint->rank < m_hint->rank))
            m_hint = std::move(hint);
        if (line.startsWith(QLatin1String("ERROR: ")))
            m_lastError = line.mid(7).trimmed();
        batch << line;
    }
    if (!batch.isEmpty())
        emit logEntries(batch);
    if (percent) {
        const int whole = int(std::floor(*percent));
        if (whole != m_lastPercent) {
            m_lastPercent = whole;
            emit stage(QStringLiteral("Downloading %1%").arg(whole));
            emit progress(whole);
        }
    }
}

void DownloadJob::onFinished(const RunResult& result)
{
    // Whatever is still in it is unfinished: stopped, failed (a full disk)
    // or left behind by yt-dlp after the move.
    removePrivateFolder();
    if (result.outcome == RunResult::Outcome::stopped) {
        if (!m_file.isEmpty()) {
            m_file.clear();
            emit audioFile(QString());
        }
        log(QStringLiteral("Stopped."));
        finishWith(Outcome::stopped);
        return;
    }
    if (result.status != 0) {
        const QString message = failureMessage(result, QStringLiteral("yt-dlp"),
                                               QStringLiteral("Failed with exit code %1.").arg(result.status));
        // yt-dlp's own error names the cause; the exit code does not.
        if (!m_lastError.isEmpty())
            setFailureReason(m_lastError);
        failWithHint(QStringLiteral("Download Failed"), message, m_hint ? m_hint->text : QString());
        return;
    }
    QStringList lines;
    if (!m_file.isEmpty())
        lines << QStringLiteral("Last audio: ") + m_file;
    lines << QStringLiteral("Done.");
    emit logEntries(lines);
    emit alert(QStringLiteral("Download Complete"),
               QStringLiteral("Reference audio was saved. You can now separate stems."));
    finishWith(Outcome::succeeded);
}
