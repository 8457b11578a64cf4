// The download: yt-dlp's output becomes log entries, progress and the file.
#include "download/DownloadJob.h"
#include "download/DownloadOutput.h"

#include "base/AppError.h"
#include "base/FileOps.h"
#include "process/Ownership.h"
#include "jobs/SaveFolderCheck.h"

#include <QCoreApplication>
#include <QUuid>

#include <QDir>
#include <QRegularExpression>

#include <climits>
#include <cmath>

DownloadJob::DownloadJob(Params params, QObject* parent)
    : YtDlpRunJob(parent), m_params(std::move(params)), m_matcher(m_params.saveFolder)
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
        // A page that is a playlist all the same (--no-playlist only keeps a
        // watch link's video from its list): its entries are skipped, none is
        // downloaded, and the end of the list prints a line to expand it by.
        QStringLiteral("--match-filter"),
        QStringLiteral("!playlist_index"),
        QStringLiteral("--print"),
        QStringLiteral("playlist:") + download::playlistMarker,
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
        failTitled(savefolder::unusableTitle, m_params.saveFolder + QStringLiteral(": ") + *problem);
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
        failTitled(savefolder::unusableTitle, m_params.saveFolder + QStringLiteral(": ") + error.localizedDescription());
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
        if (line == download::playlistMarker) {
            m_playlist = true;
            continue;
        }
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
        else
            readFailureClues(line);
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
        failRun(result);
        return;
    }
    if (m_playlist && m_file.isEmpty()) {
        const QString message = QStringLiteral("yt-dlp reports a playlist, not one recording.");
        setFailureReason(message);
        log(message);
        finishWith(Outcome::failed);
        return;
    }
    QStringList lines;
    if (!m_file.isEmpty())
        lines << QStringLiteral("Last audio: ") + m_file;
    lines << QStringLiteral("Done.");
    emit logEntries(lines);
    inform(QStringLiteral("Download Complete"),
               QStringLiteral("Reference audio was saved. You can now separate stems."));
    finishWith(Outcome::succeeded);
}
