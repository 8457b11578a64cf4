// The actions behind the buttons: each runs its guards, which only log and
// change nothing, then hands the work to a job.
#include "app/AppDelegate.h"
#include "app/AppError.h"
#include "app/FileOps.h"
#include "demucs/DemucsInstallJob.h"
#include "demucs/DemucsEnvironment.h"
#include "download/DownloadJob.h"
#include "separation/SeparationJob.h"
#include "ui/SegmentedControl.h"
#include "ytdlp/YtDlpInstallJob.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>

namespace {

const QString installYtDlpTitle = QStringLiteral("Install yt-dlp");
const QString installDemucsTitle = QStringLiteral("Install Demucs");
const QString demucsInstalledTitle = QStringLiteral("Demucs Installed");

}  // namespace

bool AppDelegate::ytDlpInstallerMayStart()
{
    if (qobject_cast<YtDlpInstallJob*>(currentJob())) {
        appendLog(QStringLiteral("yt-dlp installation is already running."));
        return false;
    }
    if (isBusy()) {
        appendLog(QStringLiteral("Another task is already running."));
        return false;
    }
    return true;
}

void AppDelegate::installYtDlp()
{
    if (!ytDlpInstallerMayStart())
        return;
    if (const std::optional<QString> found = findManagedYtDlp()) {
        m_settings->setValue(QStringLiteral("ytDlpPath"), *found);
        markYtDlpInstalled(*found);
        appendLog(QStringLiteral("yt-dlp is already installed."));
        appendLog(*found);
        showAlert(QStringLiteral("yt-dlp Already Installed"),
                  QStringLiteral("You can download reference audio without installing again."));
        return;
    }
    runYtDlpInstaller(false);
}

void AppDelegate::updateYtDlp()
{
    if (!findManagedYtDlp()) {
        installYtDlp();
        return;
    }
    if (ytDlpInstallerMayStart())
        runYtDlpInstaller(true);
}

void AppDelegate::runYtDlpInstaller(bool update)
{
    if (!fileops::isExecutableFile(m_profile.curlPath)) {
        appendLog(QStringLiteral("curl was not found at ") + m_profile.curlPath + QStringLiteral("."));
        return;
    }
    YtDlpInstallJob::Params params;
    try {
        params.supportFolder = appSupportURL();
    } catch (const AppError& error) {
        appendLog(QStringLiteral("Install failed: ") + error.localizedDescription());
        return;
    }
    params.curl = m_profile.curlPath;
    params.sourceURL = m_profile.ytDlpDownloadURL();
    params.environment = processEnvironment();
    params.progressIntervalMs = m_profile.ytDlpProgressIntervalMs;
    params.removesQuarantine = m_profile.removesQuarantine;
    params.unzip = m_profile.unzipPath;
    params.denoSourceURL = m_profile.denoDownloadURL();
    params.denoCandidates = denoCandidateURLs();
    params.update = update;
    auto* job = new YtDlpInstallJob(std::move(params));
    connect(job, &Job::logCleared, this, [this] { installButton->setText(QStringLiteral("Installing...")); });
    connect(job, &YtDlpInstallJob::installed, this, [this](const QString& path) {
        m_settings->setValue(QStringLiteral("ytDlpPath"), path);
        markYtDlpInstalled(path);
    });
    connect(job, &Job::finished, this, [this](Job::Outcome) {
        // A title left at "Installing..." would claim a download that is not running.
        installButton->setText(installedYtDlpURL ? QStringLiteral("yt-dlp Installed") : installYtDlpTitle);
    });
    runJob(job);
}

void AppDelegate::startDownload()
{
    const QString url = urlField->text().trimmed();
    if (url.isEmpty()) {
        appendLog(QStringLiteral("Enter a YouTube URL first."));
        return;
    }
    if (isBusy()) {
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
    const auto [saveFolder, defaulted] = saveFolderForRun();
    DownloadJob::Params params{*executable, url, saveFolder, downloadEnvironment(), defaulted};
    params.cookiesBrowser = m_cookiesBrowser;
    auto* job = new DownloadJob(std::move(params));
    connect(job, &Job::logCleared, this, [this] { setLastAudioURL(std::nullopt); });
    connect(job, &DownloadJob::audioFile, this, [this](const QString& path) {
        setLastAudioURL(path.isEmpty() ? std::nullopt : std::optional<QString>(path));
    });
    runJob(job);
}

void AppDelegate::refreshDemucsStatus()
{
    m_demucsCheckPending = false;
    delete m_demucsProbe.data();
    m_demucsProbe = demucs::probeManagedEnvironment(
        this, managedDemucsPythonURL(), demucsEnvironment(), m_profile.probeTimeLimitMs,
        [this](const demucs::ProbeAnswer& answer) {
            m_demucsProbe = nullptr;
            // A broken environment says why, so the title has a reason.
            appendLogEntries(answer.logLines(m_profile.probeTimeLimitMs));
            if (!answer.stopped)
                installDemucsButton->setText(answer.compatible ? demucsInstalledTitle : installDemucsTitle);
        });
}

bool AppDelegate::isCheckingDemucs() const
{
    return m_demucsCheckPending || !m_demucsProbe.isNull();
}

void AppDelegate::installDemucs()
{
    if (isBusy()) {
        appendLog(QStringLiteral("Another task is already running."));
        return;
    }
    // The job checks again; an older answer must not overwrite its result.
    m_demucsCheckPending = false;
    delete m_demucsProbe.data();
    DemucsInstallJob::Params params;
    params.profile = m_profile;
    params.environment = demucsEnvironment();
    params.managedPython = managedDemucsPythonURL();
    params.nvidiaDriver = !m_profile.nvidiaDriverFile.isEmpty() && fileops::itemExists(m_profile.nvidiaDriverFile);
    try {
        params.supportFolder = appSupportURL();
    } catch (const AppError& error) {
        appendLog(QStringLiteral("Failed to start Demucs install: ") + error.localizedDescription());
        return;
    }
    params.environmentFolder = fileops::appendingComponent(params.supportFolder, QStringLiteral("demucs-env"));
    auto* job = new DemucsInstallJob(std::move(params));
    connect(job, &DemucsInstallJob::installed, this, [this] { installDemucsButton->setText(demucsInstalledTitle); });
    connect(job, &DemucsInstallJob::rebuildRequested, this,
            [this, job](const QString& environmentFolder, const QString& reason) {
                QMessageBox* box = askQuestion(QStringLiteral("Rebuild Demucs Environment?"),
                                               QStringLiteral("The Demucs environment at ") + environmentFolder +
                                                   QStringLiteral(" failed its check: ") + reason +
                                                   QStringLiteral(" Delete it and install again?"),
                                               QStringLiteral("Rebuild"),
                                               [job](bool rebuild) { job->answerRebuild(rebuild); });
                connect(job, &Job::finished, box, &QMessageBox::close);
            });
    connect(job, &Job::finished, this, [this](Job::Outcome outcome) {
        // Every way to an end other than success began with a failed check.
        if (outcome != Job::Outcome::succeeded)
            installDemucsButton->setText(installDemucsTitle);
    });
    runJob(job);
}

void AppDelegate::startSeparation()
{
    if (isBusy()) {
        appendLog(QStringLiteral("Another task is already running."));
        return;
    }
    if (!lastAudioURL()) {
        appendLog(QStringLiteral("Download or choose an audio file first."));
        return;
    }
    const QString audioURL = *lastAudioURL();
    if (!QFileInfo::exists(audioURL)) {
        appendLog(QStringLiteral("Audio file was not found: ") + audioURL);
        return;
    }
    const QString python = managedDemucsPythonURL();
    if (!fileops::isExecutableFile(python)) {
        appendLog(QStringLiteral("Demucs is not installed."));
        appendLog(QStringLiteral("Click Install Demucs, then try again."));
        return;
    }
    SeparationJob::Params params;
    params.profile = m_profile;
    params.environment = demucsEnvironment();
    params.python = python;
    params.audioFile = audioURL;
    std::tie(params.saveFolder, params.saveFolderDefaulted) = saveFolderForRun();
    params.mode = SeparationMode::fromSegment(stemModeControl->selectedSegment());
    params.maxParallelEncodes = maxParallelEncodes;
    runJob(new SeparationJob(std::move(params)));
}
