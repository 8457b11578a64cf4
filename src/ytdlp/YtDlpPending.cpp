// TEMPORARY placeholders until the yt-dlp subsystem lands.
#include "app/AppDelegate.h"
QStringList AppDelegate::managedYtDlpCandidateURLs() const { return {}; }
QStringList AppDelegate::ytDlpCandidateURLs() const { return {}; }
bool AppDelegate::isExecutableOrCanMakeExecutable(const QString&) const { return false; }
std::optional<QString> AppDelegate::findManagedYtDlp() const { return {}; }
void AppDelegate::markYtDlpInstalled(const QString&) {}
void AppDelegate::updateYtDlpInstallStatus() {}
void AppDelegate::appendYtDlpInstallStatusLog() {}
void AppDelegate::installYtDlp() {}
void AppDelegate::startInstallProgressTimer() {}
void AppDelegate::appendInstallProgress() {}
void AppDelegate::finishYtDlpInstall(const QString&, const QString&, int) {}
void AppDelegate::removeQuarantineAttribute(const QString&) {}
