#include "session/Toolbox.h"

#include "base/AppError.h"
#include "base/Background.h"
#include "base/FileOps.h"
#include "jobs/SaveFolderCheck.h"
#include "demucs/DemucsEnvironment.h"
#include "download/DownloadOutput.h"
#include "process/ChildEnvironment.h"
#include "ytdlp/YtDlpLocator.h"

#include <QDateTime>

namespace {

const QString ytDlpName = QStringLiteral("yt-dlp");

}  // namespace

QProcessEnvironment Toolbox::processEnvironment() const
{
    return childEnvironment(m_profile.appEnvironment, m_profile.fixedToolSearchPath);
}

QString Toolbox::appSupportFolder() const
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

QStringList Toolbox::managedYtDlpCandidates() const
{
    QStringList candidates;
    try {
        candidates << fileops::appendingComponent(appSupportFolder(), ytDlpName);
    } catch (const AppError&) {
        // No support folder: that candidate is simply absent.
    }
    const QString stored = m_settings.ytDlpPath();
    if (!stored.isEmpty())
        candidates << fileops::fileURLPath(stored);
    QString homeRelative = fileops::appendingComponent(fileops::fileURLPath(m_profile.homeDir),
                                                       m_profile.homeRelativeAppSupport);
    homeRelative = fileops::appendingComponent(homeRelative, QStringLiteral("Stemloft"));
    candidates << fileops::appendingComponent(homeRelative, ytDlpName);
    return ytdlp::deduplicatedCandidates(candidates);
}

QStringList Toolbox::searchPlaceCandidates(const QString& tool) const
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

QStringList Toolbox::ytDlpCandidates() const
{
    return ytdlp::deduplicatedCandidates(managedYtDlpCandidates() + searchPlaceCandidates(ytDlpName));
}

std::optional<QString> Toolbox::findManagedYtDlp() const
{
    return ytdlp::firstUsable(managedYtDlpCandidates());
}

std::optional<QString> Toolbox::findYtDlp() const
{
    return ytdlp::firstUsable(ytDlpCandidates());
}

void Toolbox::rememberYtDlp(const QString& path) const
{
    fileops::setPosixPermissionsQuietly(path, 0755);
    m_settings.setYtDlpPath(path);
}

QStringList Toolbox::denoCandidates() const
{
    const QString deno = QStringLiteral("deno");
    QStringList candidates;
    try {
        candidates << fileops::appendingComponent(appSupportFolder(), deno);
    } catch (const AppError&) {
        // No support folder: no managed copy either.
    }
    return ytdlp::deduplicatedCandidates(candidates + searchPlaceCandidates(deno));
}

QProcessEnvironment Toolbox::downloadEnvironment() const
{
    // yt-dlp finds Deno on PATH only; the managed copy must win over any other.
    QProcessEnvironment environment = processEnvironment();
    try {
        // A ":" in the folder's name would split it into two PATH entries.
        const QString support = appSupportFolder();
        if (!support.contains(QLatin1Char(':')))
            environment.insert(QStringLiteral("PATH"),
                               support + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    } catch (const AppError&) {
        // Without a support folder there is no managed Deno to find.
    }
    return environment;
}

QString Toolbox::storedCookiesBrowser() const
{
    // Stored in yt-dlp's spelling; a browser this system does not offer means none.
    const QString stored = m_settings.cookiesBrowser();
    for (const QString& title : m_profile.cookieBrowsers) {
        if (!stored.isEmpty() && title.compare(stored, Qt::CaseInsensitive) == 0)
            return title;
    }
    return QString();
}

QString Toolbox::managedDemucsPython() const
{
    QString root;
    try {
        root = appSupportFolder();
    } catch (const AppError&) {
        root = fileops::fileURLPath(m_profile.homeDir);
    }
    return fileops::appendingComponent(root, QStringLiteral("demucs-env/bin/python"));
}

QProcessEnvironment Toolbox::demucsEnvironment() const
{
    QString torchHome;
    try {
        torchHome = fileops::appendingComponent(appSupportFolder(), QStringLiteral("torch"));
    } catch (const AppError&) {
        // No support folder: Demucs keeps its weights where it would by itself.
    }
    return demucs::pythonEnvironment(processEnvironment(), torchHome);
}

std::optional<QString> Toolbox::findTool(const QString& fixedPath) const
{
    const QString name = fileops::lastComponent(fixedPath);
    QStringList candidates{fixedPath};
    for (const QString& dir : m_profile.ytDlpSystemDirs)
        candidates << fileops::appendingComponent(dir, name);
    candidates << ytdlp::pathCandidates(m_profile.appEnvironment.value(QStringLiteral("PATH")), name);
    // A system tool is taken as it is: unlike a managed yt-dlp, its mode is not ours to repair.
    for (const QString& candidate : std::as_const(candidates)) {
        if (fileops::isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

PlatformProfile Toolbox::profileWithFoundTools() const
{
    PlatformProfile profile = m_profile;
    for (QString* path : {&profile.converterPath, &profile.curlPath, &profile.unzipPath, &profile.tarPath})
        *path = findTool(*path).value_or(*path);
    return profile;
}

QString Toolbox::defaultSaveFolder() const
{
    return m_profile.downloadsDir.isEmpty() ? m_profile.homeDir : m_profile.downloadsDir;
}

std::optional<QString> Toolbox::storedSaveFolder() const
{
    // Only a single absolute path counts: a list, an empty or relative value
    // would put the files in whatever the working directory happens to be.
    const std::optional<QString> stored = m_settings.saveFolder();
    if (stored && savefolder::isAcceptable(*stored))
        return stored;
    return std::nullopt;
}

YtDlpInstallJob::Params Toolbox::ytDlpInstallParams(bool update) const
{
    YtDlpInstallJob::Params params;
    const PlatformProfile found = profileWithFoundTools();
    params.supportFolder = appSupportFolder();
    params.curl = found.curlPath;
    params.sourceURL = m_profile.ytDlpDownloadURL();
    params.assetName = m_profile.ytDlpReleaseAsset;
    params.checksumsURL = m_profile.ytDlpDownloadBase + QStringLiteral("SHA2-256SUMS");
    params.gpgv = m_profile.gpgvPath;
    params.signingKey = YtDlpInstallJob::signingKey();
    params.environment = processEnvironment();
    params.progressIntervalMs = m_profile.ytDlpProgressIntervalMs;
    params.removesQuarantine = m_profile.removesQuarantine;
    params.unzip = found.unzipPath;
    params.denoSourceURL = m_profile.denoDownloadURL();
    params.denoCandidates = denoCandidates();
    params.update = update;
    return params;
}

DemucsInstallJob::Params Toolbox::demucsInstallParams() const
{
    DemucsInstallJob::Params params;
    params.profile = m_profile;
    params.environment = demucsEnvironment();
    params.managedPython = managedDemucsPython();
    params.nvidiaDriver = !m_profile.nvidiaDriverFile.isEmpty() && fileops::itemExists(m_profile.nvidiaDriverFile);
    params.supportFolder = appSupportFolder();
    params.environmentFolder = fileops::appendingComponent(params.supportFolder, QStringLiteral("demucs-env"));
    const PlatformProfile found = profileWithFoundTools();
    demucs::PythonInstall::Params& python = params.pythonInstall;
    python.supportFolder = params.supportFolder;
    python.curl = found.curlPath;
    python.tar = found.tarPath;
    python.uvURL = m_profile.uvDownloadURL();
    python.environment = params.environment;
    python.progressIntervalMs = m_profile.ytDlpProgressIntervalMs;
    python.findTimeLimitMs = m_profile.probeTimeLimitMs;
    return params;
}

SeparationJob::Params Toolbox::separationParams(const QString& python, SeparationMode mode,
                                                separation::ExportFormat format) const
{
    SeparationJob::Params params;
    params.profile = profileWithFoundTools();
    params.environment = demucsEnvironment();
    params.python = python;
    try {
        params.environmentFolder = fileops::appendingComponent(appSupportFolder(), QStringLiteral("demucs-env"));
    } catch (const AppError&) {
        // Without a support folder there is no managed environment to hold.
    }
    params.mode = mode;
    params.format = format;
    return params;
}
