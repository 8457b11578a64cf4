// Installs the managed yt-dlp: curl downloads the release asset into the
// support folder, the finished file replaces the old one in a single rename.
#include "app/AppDelegate.h"
#include "app/AppError.h"
#include "app/FileOps.h"
#include "process/ProcessRunner.h"
#include "ytdlp/YtDlpLocator.h"

#include <QFileInfo>
#include <QPushButton>
#include <QSettings>

#ifdef Q_OS_MACOS
#include <sys/xattr.h>
#endif

namespace {

const QString installTitle = QStringLiteral("Install yt-dlp");
const QString failedTitle = QStringLiteral("yt-dlp Install Failed");

}  // namespace

void AppDelegate::installYtDlp()
{
    if (isInstalling) {
        appendLog(QStringLiteral("yt-dlp installation is already running."));
        return;
    }
    if (process) {
        appendLog(QStringLiteral("Another task is already running."));
        return;
    }
    if (const std::optional<QString> found = findManagedYtDlp()) {
        m_settings->setValue(QStringLiteral("ytDlpPath"), *found);
        markYtDlpInstalled(*found);
        appendLog(QStringLiteral("yt-dlp is already installed."));
        appendLog(*found);
        showAlert(QStringLiteral("yt-dlp Already Installed"),
                  QStringLiteral("You can download reference audio without installing again."));
        return;
    }
    const QString curl = m_profile.curlPath;
    if (!fileops::isExecutableFile(curl)) {
        appendLog(QStringLiteral("curl was not found at ") + curl + QStringLiteral("."));
        return;
    }

    ProcessRun* run = nullptr;
    try {
        const QString destination = fileops::appendingComponent(appSupportURL(), QStringLiteral("yt-dlp"));
        const QString folder = fileops::deletingLastComponent(destination);
        const QString temporary = fileops::appendingComponent(folder, QStringLiteral("yt-dlp.download"));
        installTemporaryURL = temporary;
        fileops::createDirectories(folder);
        if (fileops::itemExists(temporary))
            fileops::removeItem(temporary);

        clearLog();
        installButton->setText(QStringLiteral("Installing..."));
        const QString sourceURL = m_profile.ytDlpDownloadURL();
        appendLog(QStringLiteral("Downloading yt-dlp..."));
        appendLog(sourceURL);
        appendLog(QStringLiteral("Progress will appear here while the file downloads."));

        const QStringList arguments = {QStringLiteral("-L"), QStringLiteral("--fail"),
                                       QStringLiteral("--show-error"), QStringLiteral("--silent"),
                                       sourceURL, QStringLiteral("-o"), temporary};
        run = makeLongRun(
            curl, arguments,
            [](AppDelegate& app, const QString& text) { app.appendProcessOutput(text); },
            [temporary, destination](AppDelegate* app, int status) {
                if (app)
                    app->finishYtDlpInstall(temporary, destination, status);
            });
        isInstalling = true;
        process = run;
        updateControlStates(true);
        startInstallProgressTimer();
        QString error;
        if (!run->launch(&error))
            throw AppError(QStringLiteral("Process"), 0, error);
    } catch (const AppError& error) {
        stopInstallProgressTimer();
        installTemporaryURL.reset();
        isInstalling = false;
        process = nullptr;
        delete run;
        // A title left at "Installing..." would claim a download that never started.
        installButton->setText(installTitle);
        updateControlStates(false);
        appendLog(QStringLiteral("Install failed: ") + error.localizedDescription());
    }
}

void AppDelegate::startInstallProgressTimer()
{
    startProgressTimer(m_profile.ytDlpProgressIntervalMs,
                       [](AppDelegate& app) { app.appendInstallProgress(); });
}

void AppDelegate::appendInstallProgress()
{
    if (!installTemporaryURL)
        return;
    const std::optional<qint64> size = fileops::fileSize(*installTemporaryURL);
    if (!size)
        return;  // curl has not created the file yet
    appendLog(QStringLiteral("Downloaded ") + ytdlp::formatFileByteCount(*size) + QStringLiteral("..."));
}

void AppDelegate::finishYtDlpInstall(const QString& temporaryURL, const QString& destination, int exitCode)
{
    if (exitCode != 0) {
        const QString message = QStringLiteral("Download failed with exit code %1.").arg(exitCode);
        installButton->setText(installTitle);
        appendLog(message);
        showAlert(failedTitle, message);
    } else if (!fileops::itemExists(temporaryURL)) {
        const QString message = QStringLiteral("Download failed: yt-dlp file was not created.");
        installButton->setText(installTitle);
        appendLog(message);
        showAlert(failedTitle, message);
    } else {
        try {
            // The old tool must survive any failing step: the new file gets
            // its mode first, then rename(2) puts it over the old one in one
            // step. Only a folder in the way, which no tool can be, is
            // removed beforehand.
            fileops::setPosixPermissions(temporaryURL, 0755);
            const QFileInfo existing(destination);
            if (existing.isDir() && !existing.isSymLink())
                fileops::removeItem(destination);
            fileops::moveItem(temporaryURL, destination);
            removeQuarantineAttribute(destination);
            appendLog(QStringLiteral("Installed yt-dlp."));
            appendLog(destination);
            m_settings->setValue(QStringLiteral("ytDlpPath"), destination);
            markYtDlpInstalled(destination);
            showAlert(QStringLiteral("yt-dlp Installed"), QStringLiteral("You can now download reference audio."));
        } catch (const AppError& error) {
            const QString message = QStringLiteral("Install failed: ") + error.localizedDescription();
            installButton->setText(installTitle);
            appendLog(message);
            showAlert(failedTitle, message);
        }
    }

    stopInstallProgressTimer();
    installTemporaryURL.reset();
    isInstalling = false;
    process = nullptr;
    updateControlStates(false);
}

void AppDelegate::removeQuarantineAttribute(const QString& path)
{
    if (!m_profile.removesQuarantine)
        return;
#ifdef Q_OS_MACOS
    if (::removexattr(QFile::encodeName(path).constData(), "com.apple.quarantine", 0) == 0)
        appendLog(QStringLiteral("Removed quarantine attribute from yt-dlp."));
#else
    Q_UNUSED(path);
#endif
}
