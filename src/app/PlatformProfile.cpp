#include "app/PlatformProfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QSysInfo>

namespace {

QString firstStandardLocation(QStandardPaths::StandardLocation location)
{
    const QStringList dirs = QStandardPaths::standardLocations(location);
    return dirs.isEmpty() ? QString() : dirs.first();
}

}  // namespace

PlatformProfile PlatformProfile::current()
{
    PlatformProfile p;
    p.homeDir = QDir::homePath();
    p.tempDir = QDir::tempPath();
    p.downloadsDir = firstStandardLocation(QStandardPaths::DownloadLocation);
    p.appEnvironment = QProcessEnvironment::systemEnvironment();
    p.fixedToolSearchPath = QStringLiteral("/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
    p.curlPath = QStringLiteral("/usr/bin/curl");
    p.loginShellFlag = QStringLiteral("-lc");
    p.ytDlpDownloadBase = QStringLiteral("https://github.com/yt-dlp/yt-dlp/releases/latest/download/");
    p.ytDlpSystemDirs = {QStringLiteral("/opt/homebrew/bin"), QStringLiteral("/usr/local/bin"),
                         QStringLiteral("/usr/bin")};
    p.pythonPrefixes = {QStringLiteral("/opt/homebrew"), QStringLiteral("/usr/local")};
    p.pythonFrameworkVersions = QStringLiteral("/Library/Frameworks/Python.framework/Versions");
    p.excludedPython = QStringLiteral("/usr/bin/python3");
    p.denoDownloadBase = QStringLiteral("https://github.com/denoland/deno/releases/latest/download/");
    p.unzipPath = QStringLiteral("/usr/bin/unzip");
    p.cookieBrowsers = {QStringLiteral("Firefox"), QStringLiteral("Chrome"), QStringLiteral("Chromium"),
                        QStringLiteral("Brave"), QStringLiteral("Edge")};
    const QString arch = QSysInfo::currentCpuArchitecture();
    const bool arm = arch == QLatin1String("arm64") || arch == QLatin1String("aarch64");

    const QString appDir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                                        : QDir::currentPath();
#ifdef Q_OS_MACOS
    p.appSupportBaseDir = firstStandardLocation(QStandardPaths::GenericDataLocation);
    p.homeRelativeAppSupport = QStringLiteral("Library/Application Support");
    p.loginShell = QStringLiteral("/bin/zsh");
    p.ytDlpReleaseAsset = QStringLiteral("yt-dlp_macos");
    p.removesQuarantine = true;
    p.denoTarget = arm ? QStringLiteral("aarch64-apple-darwin") : QStringLiteral("x86_64-apple-darwin");
    p.cookieBrowsers << QStringLiteral("Safari");
    p.converter = Converter::afconvert;
    p.converterPath = QStringLiteral("/usr/bin/afconvert");
    p.converterName = QStringLiteral("afconvert");
    // appDir is .../Stemloft.app/Contents/MacOS
    QDir bundle(appDir);
    bundle.cdUp();
    p.bundleResourceDir = bundle.filePath(QStringLiteral("Resources"));
    bundle.cdUp();  // Stemloft.app
    p.bundleContainerDir = QFileInfo(bundle.path()).path();
#else
    p.appSupportBaseDir = firstStandardLocation(QStandardPaths::GenericDataLocation);
    p.homeRelativeAppSupport = QStringLiteral(".local/share");
    p.loginShell = QStringLiteral("/bin/sh");
    p.ytDlpReleaseAsset = arm ? QStringLiteral("yt-dlp_linux_aarch64") : QStringLiteral("yt-dlp_linux");
    p.denoTarget = arm ? QStringLiteral("aarch64-unknown-linux-gnu") : QStringLiteral("x86_64-unknown-linux-gnu");
    p.removesQuarantine = false;
    p.converter = Converter::ffmpeg;
    p.converterPath = QStringLiteral("/usr/bin/ffmpeg");
    p.converterName = QStringLiteral("ffmpeg");
    // No bundle on Linux: both bundled locations are the executable's folder.
    p.bundleResourceDir = appDir;
    p.bundleContainerDir = appDir;
#endif
    return p;
}
