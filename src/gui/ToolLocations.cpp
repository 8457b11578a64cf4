// The controller's view of its tools: the locations come from the toolbox,
// the install status is shown on the button and in the log.
#include "gui/AppController.h"
#include "base/AppError.h"
#include "base/FileOps.h"
#include "demucs/DemucsEnvironment.h"
#include "process/ChildOutput.h"
#include "ytdlp/YtDlpLocator.h"

#include <QDateTime>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>

namespace {

const QString storedPathKey = QStringLiteral("ytDlpPath");

}  // namespace

QProcessEnvironment AppDelegate::processEnvironment() const
{
    return m_tools.processEnvironment();
}

void AppDelegate::appendProcessOutput(const QString& text)
{
    appendLogEntries(splitOutputLines(text));
}

QString AppDelegate::appSupportURL() const
{
    return m_tools.appSupportFolder();
}

QString AppDelegate::managedDemucsPythonURL() const
{
    return m_tools.managedDemucsPython();
}

QProcessEnvironment AppDelegate::demucsEnvironment() const
{
    return m_tools.demucsEnvironment();
}

QStringList AppDelegate::managedYtDlpCandidateURLs() const
{
    return m_tools.managedYtDlpCandidates();
}

QStringList AppDelegate::ytDlpCandidateURLs() const
{
    return m_tools.ytDlpCandidates();
}

QStringList AppDelegate::denoCandidateURLs() const
{
    return m_tools.denoCandidates();
}

QProcessEnvironment AppDelegate::downloadEnvironment() const
{
    return m_tools.downloadEnvironment();
}

bool AppDelegate::isExecutableOrCanMakeExecutable(const QString& path) const
{
    return ytdlp::isUsableExecutable(path);
}

std::optional<QString> AppDelegate::findManagedYtDlp() const
{
    return m_tools.findManagedYtDlp();
}

void AppDelegate::markYtDlpInstalled(const QString& path)
{
    m_tools.rememberYtDlp(path);
    installedYtDlpURL = path;
    installButton->setText(QStringLiteral("yt-dlp Installed"));
    installButton->setEnabled(false);
    installButton->setToolTip(path);
    installButton->update();
}

void AppDelegate::updateYtDlpInstallStatus()
{
    if (const std::optional<QString> found = findManagedYtDlp()) {
        markYtDlpInstalled(*found);
        return;
    }
    installedYtDlpURL.reset();
    m_settings->remove(storedPathKey);
    installButton->setText(QStringLiteral("Install yt-dlp"));
    installButton->setEnabled(!isBusy());
    installButton->setToolTip(QStringLiteral("Install yt-dlp into the app support folder."));
    installButton->update();
}

void AppDelegate::appendYtDlpInstallStatusLog()
{
    const std::optional<QString> found = findManagedYtDlp();
    if (!found) {
        appendLog(QStringLiteral("yt-dlp was not detected. Click Install yt-dlp if downloads fail."));
        return;
    }
    appendLog(QStringLiteral("yt-dlp detected: ") + *found);
    if (const auto note = ytdlp::ageNote(QFileInfo(*found).lastModified(), QDateTime::currentDateTime()))
        appendLog(*note);
}
