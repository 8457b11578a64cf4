// Where the controller's tools and folders are: the support folder, the
// managed yt-dlp and Demucs interpreter, and the environment children get.
#include "app/AppDelegate.h"
#include "app/AppError.h"
#include "app/FileOps.h"
#include "demucs/DemucsEnvironment.h"
#include "process/ProcessRunner.h"
#include "ytdlp/YtDlpLocator.h"

#include <QDateTime>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>

namespace {

const QString toolName = QStringLiteral("yt-dlp");
const QString storedPathKey = QStringLiteral("ytDlpPath");

}  // namespace

QProcessEnvironment AppDelegate::processEnvironment() const
{
    return childEnvironment(m_profile.appEnvironment, m_profile.fixedToolSearchPath);
}

void AppDelegate::appendProcessOutput(const QString& text)
{
    appendLogEntries(splitOutputLines(text));
}

QString AppDelegate::appSupportURL() const
{
    const QString base = m_profile.appSupportBaseDir;
    if (base.isEmpty()) {
        throw AppError(QStringLiteral("FileSystem"), 0,
                       QStringLiteral("The application support folder could not be determined."));
    }
    // Like asking the platform for it with creation requested: the base
    // folder is created, "Stemloft" itself is left to the installers.
    fileops::createDirectories(base);
    return fileops::appendingComponent(fileops::fileURLPath(base), QStringLiteral("Stemloft"));
}

QString AppDelegate::managedDemucsPythonURL() const
{
    QString root;
    try {
        root = appSupportURL();
    } catch (const AppError&) {
        root = fileops::fileURLPath(m_profile.homeDir);
    }
    return fileops::appendingComponent(root, QStringLiteral("demucs-env/bin/python"));
}

QProcessEnvironment AppDelegate::demucsEnvironment() const
{
    QString torchHome;
    try {
        torchHome = fileops::appendingComponent(appSupportURL(), QStringLiteral("torch"));
    } catch (const AppError&) {
        // No support folder: Demucs keeps its weights where it would by itself.
    }
    return demucs::pythonEnvironment(processEnvironment(), torchHome);
}

QStringList AppDelegate::managedYtDlpCandidateURLs() const
{
    QStringList candidates;
    try {
        candidates << fileops::appendingComponent(appSupportURL(), toolName);
    } catch (const AppError&) {
        // No support folder: that candidate is simply absent.
    }
    const QString stored = m_settings->value(storedPathKey).toString();
    if (!stored.isEmpty())
        candidates << fileops::fileURLPath(stored);
    QString homeRelative = fileops::appendingComponent(fileops::fileURLPath(m_profile.homeDir),
                                                       m_profile.homeRelativeAppSupport);
    homeRelative = fileops::appendingComponent(homeRelative, QStringLiteral("Stemloft"));
    candidates << fileops::appendingComponent(homeRelative, toolName);
    return ytdlp::deduplicatedCandidates(candidates);
}

QStringList AppDelegate::searchPlaceCandidates(const QString& tool) const
{
    QStringList candidates;
    if (!m_profile.bundleResourceDir.isEmpty())
        candidates << fileops::appendingComponent(fileops::fileURLPath(m_profile.bundleResourceDir), tool);
    candidates << fileops::appendingComponent(fileops::fileURLPath(m_profile.bundleContainerDir), tool);
    for (const QString& dir : m_profile.ytDlpSystemDirs)
        candidates << fileops::appendingComponent(dir, tool);
    candidates << ytdlp::pathCandidates(m_profile.appEnvironment.value(QStringLiteral("PATH")), tool);
    return candidates;
}

QStringList AppDelegate::ytDlpCandidateURLs() const
{
    return ytdlp::deduplicatedCandidates(managedYtDlpCandidateURLs() + searchPlaceCandidates(toolName));
}

QStringList AppDelegate::denoCandidateURLs() const
{
    const QString deno = QStringLiteral("deno");
    QStringList candidates;
    try {
        candidates << fileops::appendingComponent(appSupportURL(), deno);
    } catch (const AppError&) {
        // No support folder: no managed copy either.
    }
    return ytdlp::deduplicatedCandidates(candidates + searchPlaceCandidates(deno));
}

QProcessEnvironment AppDelegate::downloadEnvironment() const
{
    // yt-dlp finds Deno on PATH only; the managed copy must win over any other.
    QProcessEnvironment environment = processEnvironment();
    try {
        // A ":" in the folder's name would split it into two PATH entries.
        const QString support = appSupportURL();
        if (!support.contains(QLatin1Char(':')))
            environment.insert(QStringLiteral("PATH"),
                               support + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    } catch (const AppError&) {
        // Without a support folder there is no managed Deno to find.
    }
    return environment;
}

bool AppDelegate::isExecutableOrCanMakeExecutable(const QString& path) const
{
    return ytdlp::isUsableExecutable(path);
}

std::optional<QString> AppDelegate::findManagedYtDlp() const
{
    for (const QString& candidate : managedYtDlpCandidateURLs()) {
        if (isExecutableOrCanMakeExecutable(candidate))
            return candidate;
    }
    return std::nullopt;
}

void AppDelegate::markYtDlpInstalled(const QString& path)
{
    fileops::setPosixPermissionsQuietly(path, 0755);
    installedYtDlpURL = path;
    m_settings->setValue(storedPathKey, path);
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
