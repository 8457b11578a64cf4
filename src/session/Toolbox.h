#pragma once

#include "base/PlatformProfile.h"
#include "session/Settings.h"
#include "demucs/DemucsInstallJob.h"
#include "separation/ExportFormat.h"
#include "separation/SeparationJob.h"
#include "separation/SeparationMode.h"
#include "ytdlp/YtDlpInstallJob.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// Where the tools and folders are and what their children get, read from the
// platform profile and the settings. The window and the command line both
// build their jobs from it, so a run is the same wherever it was started.
class Toolbox {
public:
    Toolbox(const PlatformProfile& profile, Settings& settings) : m_profile(profile), m_settings(settings) {}

    const PlatformProfile& profile() const { return m_profile; }

    // The application's environment with the fixed tool search path.
    QProcessEnvironment processEnvironment() const;
    // The "Stemloft" folder in the application support folder; its base is
    // created. Throws AppError when there is none.
    QString appSupportFolder() const;

    // yt-dlp: the managed copies first (support folder, stored path, the usual
    // place below home), then the places a system copy is looked for.
    QStringList managedYtDlpCandidates() const;
    QStringList ytDlpCandidates() const;
    std::optional<QString> findManagedYtDlp() const;
    std::optional<QString> findYtDlp() const;
    // An installed or found managed copy: executable, and stored for the next start.
    void rememberYtDlp(const QString& path) const;
    // Where a deno may already be: the support folder, then the places yt-dlp is looked for.
    QStringList denoCandidates() const;
    // The child environment with the support folder first on PATH.
    QProcessEnvironment downloadEnvironment() const;
    // The browser named by the stored choice, as the Cookies menu names it; empty for none.
    QString storedCookiesBrowser() const;

    QString managedDemucsPython() const;
    // Scrubbed of the user's own Python set-up, with the model weights in the
    // support folder's "torch".
    QProcessEnvironment demucsEnvironment() const;

    // The converter (ffmpeg, afconvert), curl and unzip: the profile's fixed
    // place first, then the system folders yt-dlp is looked for in, then
    // PATH; nothing when none has it.
    std::optional<QString> findTool(const QString& fixedPath) const;
    // The profile with those three where they were found (else where they
    // were expected, for the message that they are missing).
    PlatformProfile profileWithFoundTools() const;

    // Downloads, or home when there is none.
    QString defaultSaveFolder() const;
    // The stored save folder when it is a single absolute path.
    std::optional<QString> storedSaveFolder() const;

    // What each installer needs; both throw AppError without a support folder.
    YtDlpInstallJob::Params ytDlpInstallParams(bool update) const;
    DemucsInstallJob::Params demucsInstallParams() const;
    // Every separation's settings apart from the audio file and the save folder.
    SeparationJob::Params separationParams(const QString& python, SeparationMode mode,
                                           separation::ExportFormat format) const;

private:
    QStringList searchPlaceCandidates(const QString& tool) const;

    const PlatformProfile& m_profile;
    Settings& m_settings;
};
