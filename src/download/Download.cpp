// The Start action: yt-dlp fetches the best audio of a URL into the save
// folder, and the file it reports becomes the current audio file.
#include "download/DownloadOutput.h"

#include "app/AppDelegate.h"
#include "app/FileOps.h"
#include "process/ProcessRunner.h"

#include <QLineEdit>

namespace download {

std::optional<QString> downloadedFilePath(const QString& line, const QString& saveFolder)
{
    const QString candidate = fileops::fileURLPath(line);
    const QString folder = fileops::fileURLPath(saveFolder);
    // The folder itself is no downloaded file.
    if (!fileops::isInsideFolder(candidate, folder)
        || fileops::standardizedPath(candidate) == fileops::standardizedPath(folder))
        return std::nullopt;
    if (!fileops::itemExists(candidate))
        return std::nullopt;
    return candidate;
}

}  // namespace download

void AppDelegate::startDownload()
{
    const QString url = urlField->text().trimmed();
    if (url.isEmpty()) {
        appendLog(QStringLiteral("Enter a YouTube URL first."));
        return;
    }
    if (process) {
        appendLog(QStringLiteral("A download is already running."));
        return;
    }
    std::optional<QString> executable;
    if (installedYtDlpURL && isExecutableOrCanMakeExecutable(*installedYtDlpURL)) {
        executable = installedYtDlpURL;
    } else {
        for (const QString& candidate : ytDlpCandidateURLs()) {
            if (isExecutableOrCanMakeExecutable(candidate)) {
                executable = candidate;
                break;
            }
        }
    }
    if (!executable) {
        appendLog(QStringLiteral("yt-dlp was not found."));
        appendLog(QStringLiteral("Click Install yt-dlp, then try again."));
        return;
    }

    const QString saveFolder = folderField->text();  // passed on exactly as shown
    const QString outputTemplate = fileops::appendingComponent(
        fileops::fileURLPath(saveFolder), QStringLiteral("%(title).120B [%(id)s].%(ext)s"));

    clearLog();
    setLastAudioURL(std::nullopt);
    appendLog(QStringLiteral("Using: ") + *executable);
    appendLog(QStringLiteral("Saving to: ") + saveFolder);
    appendLog(QStringLiteral("Starting..."));
    updateControlStates(true);

    // "--progress": "--print" alone silences progress output.
    // "--": a URL beginning with "-" must not be read as an option.
    const QStringList arguments = {
        QStringLiteral("--newline"),
        QStringLiteral("--progress"),
        QStringLiteral("--no-playlist"),
        QStringLiteral("--print"),
        QStringLiteral("after_move:filepath"),
        QStringLiteral("-f"),
        QStringLiteral("bestaudio[ext=m4a]/bestaudio"),
        QStringLiteral("-o"),
        outputTemplate,
        QStringLiteral("--"),
        url,
    };
    ProcessRun* run = makeLongRun(
        *executable, arguments,
        [saveFolder](AppDelegate& app, const QString& text) { app.appendDownloadOutput(text, saveFolder); },
        [](AppDelegate* app, int status) {
            if (!app)
                return;
            app->process = nullptr;
            app->updateControlStates(false);
            if (status != 0) {
                const QString message = QStringLiteral("Failed with exit code %1.").arg(status);
                app->appendLog(message);
                app->showAlert(QStringLiteral("Download Failed"), message);
                return;
            }
            if (app->lastAudioURL())
                app->appendLog(QStringLiteral("Last audio: ") + *app->lastAudioURL());
            app->appendLog(QStringLiteral("Done."));
            app->showAlert(QStringLiteral("Download Complete"),
                           QStringLiteral("Reference audio was saved. You can now separate stems."));
        });
    process = run;
    QString error;
    if (!run->launch(&error)) {
        process = nullptr;
        delete run;
        updateControlStates(false);
        appendLog(QStringLiteral("Failed to start yt-dlp: ") + error);
    }
}

void AppDelegate::appendDownloadOutput(const QString& text, const QString& saveFolder)
{
    for (const QString& line : splitOutputLines(text)) {
        if (const std::optional<QString> file = download::downloadedFilePath(line, saveFolder)) {
            setLastAudioURL(*file);
            appendLog(QStringLiteral("Downloaded file: ") + *file);
        } else {
            appendLog(line);
        }
    }
}
