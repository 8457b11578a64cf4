#include "base/PlatformProfile.h"

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
    const QString arch = QSysInfo::currentCpuArchitecture();
    const QString cpu = arch == QLatin1String("arm64") || arch == QLatin1String("aarch64") ? QStringLiteral("arm64")
                                                                                           : QStringLiteral("x86_64");
#ifdef Q_OS_MACOS
    return forSystem(System::macOS, cpu);
#else
    return forSystem(System::linuxOS, cpu);
#endif
}

PlatformProfile PlatformProfile::forSystem(System system, const QString& cpuArchitecture)
{
    PlatformProfile p;
    p.system = system;
    p.cpuArchitecture = cpuArchitecture;
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
    p.denoDownloadBase = QStringLiteral("https://github.com/denoland/deno/releases/latest/download/");
    p.unzipPath = QStringLiteral("/usr/bin/unzip");
    p.uvDownloadBase = QStringLiteral("https://github.com/astral-sh/uv/releases/latest/download/");
    p.tarPath = QStringLiteral("/usr/bin/tar");
    p.cookieBrowsers = {QStringLiteral("Firefox"), QStringLiteral("Chrome"), QStringLiteral("Chromium"),
                        QStringLiteral("Brave"), QStringLiteral("Edge")};
    const bool arm = cpuArchitecture == QLatin1String("arm64");

    const QString appDir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                                        : QDir::currentPath();
    if (system == System::macOS) {
        p.appSupportBaseDir = firstStandardLocation(QStandardPaths::GenericDataLocation);
        p.homeRelativeAppSupport = QStringLiteral("Library/Application Support");
        p.loginShell = QStringLiteral("/bin/zsh");
        p.ytDlpReleaseAsset = QStringLiteral("yt-dlp_macos");
        // macOS has no gpgv of its own; Homebrew's gnupg brings one.
        p.gpgvPath = arm ? QStringLiteral("/opt/homebrew/bin/gpgv") : QStringLiteral("/usr/local/bin/gpgv");
        p.removesQuarantine = true;
        p.denoTarget = arm ? QStringLiteral("aarch64-apple-darwin") : QStringLiteral("x86_64-apple-darwin");
        p.uvTarget = p.denoTarget;
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
        // /usr/bin/python3 is the stub that offers the Xcode tools, not a Python.
        p.excludedPython = QStringLiteral("/usr/bin/python3");
        p.pythonNotFoundMessage =
            QStringLiteral("Install Python 3.12 with Homebrew or from python.org, then try again.");
        p.rebuildAdvice = QStringLiteral("Click Install Demucs to rebuild it with Python 3.12.");
    } else {
        p.appSupportBaseDir = firstStandardLocation(QStandardPaths::GenericDataLocation);
        p.homeRelativeAppSupport = QStringLiteral(".local/share");
        p.loginShell = QStringLiteral("/bin/sh");
        p.ytDlpReleaseAsset = arm ? QStringLiteral("yt-dlp_linux_aarch64") : QStringLiteral("yt-dlp_linux");
        p.gpgvPath = QStringLiteral("/usr/bin/gpgv");
        p.denoTarget = arm ? QStringLiteral("aarch64-unknown-linux-gnu") : QStringLiteral("x86_64-unknown-linux-gnu");
        p.uvTarget = p.denoTarget;
        p.removesQuarantine = false;
        p.converter = Converter::ffmpeg;
        p.converterPath = QStringLiteral("/usr/bin/ffmpeg");
        p.converterName = QStringLiteral("ffmpeg");
        // No bundle on Linux: both bundled locations are the executable's folder.
        p.bundleResourceDir = appDir;
        p.bundleContainerDir = appDir;
        // Homebrew's place on Linux, which a desktop session's PATH may lack.
        p.ytDlpSystemDirs << QStringLiteral("/home/linuxbrew/.linuxbrew/bin");
        p.nvidiaDriverFile = QStringLiteral("/proc/driver/nvidia/version");
        // Distributions ship venv (and ensurepip with it) as a package of
        // their own, and the newest ones have no 3.12 at all.
        p.pythonNotFoundMessage = QStringLiteral(
            "Install Python 3.12 (for example `sudo apt install python3.12-venv` where your distribution has it), "
            "then try again.");
        p.rebuildAdvice = QStringLiteral("Click Install Demucs to rebuild it.");
    }
    return p;
}
