#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Everything that differs between macOS and Linux, chosen once at start-up.
// The rest of the code reads these values instead of asking the platform, so
// tests can point every tool and folder at a temporary location.
struct PlatformProfile {
    enum class Converter { afconvert, ffmpeg };
    enum class System { macOS, linuxOS };  // not "linux": a macro in the GNU dialects

    System system = System::linuxOS;
    QString cpuArchitecture;  // "x86_64" or "arm64"

    // Folders
    QString homeDir;
    // The user's application support directory ("Application Support" on
    // macOS, the XDG data home on Linux). Empty when it cannot be determined.
    QString appSupportBaseDir;
    // Where that directory usually sits below the home folder.
    QString homeRelativeAppSupport;
    QString downloadsDir;  // empty when unknown
    QString tempDir;

    // Copies of yt-dlp shipped with the application.
    QString bundleResourceDir;   // empty when there is none
    QString bundleContainerDir;

    // Settings; empty file means the platform's native store.
    QString settingsFile;

    // The application's own environment (PATH is read from here).
    QProcessEnvironment appEnvironment;
    QString fixedToolSearchPath;

    // Tools. curl, unzip and the converter are looked for here first, then
    // in ytDlpSystemDirs and on PATH (Toolbox::findTool).
    QString curlPath;
    QString loginShell;
    QString loginShellFlag;
    QString ytDlpReleaseAsset;
    QString ytDlpDownloadBase;  // the asset name is appended
    // Checks the signature of yt-dlp's published checksums; empty or missing:
    // only the checksums are compared.
    QString gpgvPath;
    QStringList ytDlpSystemDirs;
    bool removesQuarantine = false;
    // Deno, the JavaScript runtime yt-dlp needs for YouTube: the release
    // archive "deno-TARGET.zip" and the tool that unpacks it.
    QString denoTarget;
    QString denoDownloadBase;  // "deno-" + target + ".zip" is appended
    QString unzipPath;
    // uv, which installs a Python of Stemloft's own where none fits: the
    // release archive "uv-TARGET.tar.gz" (empty target: none for this
    // machine) and the tool that unpacks it.
    QString uvTarget;
    QString uvDownloadBase;
    QString tarPath;
    // Browsers yt-dlp can read cookies from, as the Cookies menu names them.
    QStringList cookieBrowsers;

    Converter converter = Converter::ffmpeg;
    QString converterPath;
    QString converterName;

    // Python discovery
    QStringList pythonPrefixes;
    QString pythonFrameworkVersions;  // empty: no framework candidates
    QString excludedPython;  // macOS's Xcode stub; empty on Linux
    // Present only while an NVIDIA driver is loaded (Linux).
    QString nvidiaDriverFile;
    // What to tell a user whose machine lacks a suitable Python and could
    // not get one installed, and whose environment failed its check.
    QString pythonNotFoundMessage;
    QString rebuildAdvice;

    // Progress timers, in milliseconds.
    int ytDlpProgressIntervalMs = 750;
    int demucsProgressIntervalMs = 20000;
    // A Python probe that has not answered by then counts as failed.
    int probeTimeLimitMs = 120000;

    // Demucs holds a whole recording and every stem in memory: a recording
    // longer than the threshold is separated in parts of partSeconds that
    // overlap by partOverlapSeconds, then joined (seconds).
    double longRecordingSeconds = 15 * 60;
    double partSeconds = 10 * 60;
    double partOverlapSeconds = 10;

    QString ytDlpDownloadURL() const { return ytDlpDownloadBase + ytDlpReleaseAsset; }
    QString uvDownloadURL() const
    {
        return uvTarget.isEmpty() ? QString() : uvDownloadBase + QStringLiteral("uv-") + uvTarget + QStringLiteral(".tar.gz");
    }
    QString denoDownloadURL() const
    {
        return denoDownloadBase + QStringLiteral("deno-") + denoTarget + QStringLiteral(".zip");
    }

    // The values for the machine the program runs on.
    static PlatformProfile current();
    // The values of a system and processor (the host's folders and environment).
    static PlatformProfile forSystem(System system, const QString& cpuArchitecture);
};
