// The actions behind the buttons: each runs its guards, which only log and
// change nothing, then hands the work to a job.
#include "gui/AppController.h"
#include "base/AppError.h"
#include "base/FileOps.h"
#include "batch/BatchJob.h"
#include "batch/Inputs.h"
#include "demucs/DemucsInstallJob.h"
#include "demucs/DemucsEnvironment.h"
#include "download/DownloadJob.h"
#include "separation/SeparationJob.h"
#include "gui/widgets/SegmentedControl.h"
#include "ytdlp/YtDlpInstallJob.h"

#include <QAction>
#include <QCheckBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>

namespace {

const QString installYtDlpTitle = QStringLiteral("Install yt-dlp");
const QString installDemucsTitle = QStringLiteral("Install Demucs");
const QString demucsInstalledTitle = QStringLiteral("Demucs Installed");

// What every separation with the current choices shares; the caller sets the
// audio file and the save folder.
SeparationJob::Params separationParams(const AppDelegate& app, const QString& python)
{
    SeparationJob::Params params = app.tools().separationParams(python, app.currentMode(), app.exportFormat());
    params.maxParallelEncodes = app.maxParallelEncodes;
    return params;
}

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
        params = m_tools.ytDlpInstallParams(update);
    } catch (const AppError& error) {
        appendLog(QStringLiteral("Install failed: ") + error.localizedDescription());
        return;
    }
    auto* job = new YtDlpInstallJob(std::move(params));
    connect(job, &Job::logCleared, this, [this] { installButton->setText(QStringLiteral("Installing...")); });
    connect(job, &YtDlpInstallJob::installed, this, &AppDelegate::markYtDlpInstalled);
    connect(job, &Job::finished, this, [this](Job::Outcome) {
        // A title left at "Installing..." would claim a download that is not running.
        installButton->setText(installedYtDlpURL ? QStringLiteral("yt-dlp Installed") : installYtDlpTitle);
    });
    runJob(job);
}

void AppDelegate::startDownload()
{
    const QString text = urlField->text().trimmed();
    if (text.isEmpty()) {
        appendLog(QStringLiteral("Enter a YouTube URL first."));
        return;
    }
    if (isBusy()) {
        appendLog(QStringLiteral("A download is already running."));
        return;
    }
    const batch::UrlList links = batch::parseUrlList(text);
    if (links.urls.isEmpty()) {
        for (const QString& word : links.rejected)
            appendLog(QStringLiteral("Not a link: ") + word);
        appendLog(QStringLiteral("Enter a YouTube URL first."));
        return;
    }
    std::optional<QString> executable = installedYtDlpURL;
    if (!executable || !isExecutableOrCanMakeExecutable(*executable))
        executable = m_tools.findYtDlp();
    if (!executable) {
        appendLog(QStringLiteral("yt-dlp was not found."));
        appendLog(QStringLiteral("Click Install yt-dlp, then try again."));
        return;
    }
    // Minutes of downloading must not end where nothing can separate them.
    const bool separate = separateAfterDownloadBox->isChecked();
    std::optional<QString> python;
    if (separate && !(python = installedDemucsPython()))
        return;
    const auto [saveFolder, defaulted] = saveFolderForRun();
    DownloadJob::Params params{*executable, links.urls.first(), saveFolder, downloadEnvironment(), defaulted};
    params.cookiesBrowser = m_cookiesBrowser;
    // Words left out of a list are named in the run's log, which only a batch keeps.
    if (links.urls.size() == 1 && !separate && links.rejected.isEmpty()) {
        auto* job = new DownloadJob(std::move(params));
        connect(job, &Job::logCleared, this, [this] { setLastAudioURL(std::nullopt); });
        connect(job, &DownloadJob::audioFile, this, [this](const QString& path) {
            setLastAudioURL(path.isEmpty() ? std::nullopt : std::optional<QString>(path));
        });
        runJob(job);
        return;
    }
    BatchJob::Params batchParams;
    for (const QString& url : links.urls)
        batchParams.items.append({url, true});
    for (const QString& word : links.rejected)
        batchParams.notes << QStringLiteral("Not a link: ") + word;
    batchParams.separateDownloads = separate;
    batchParams.download = std::move(params);
    if (python) {
        batchParams.separation = separationParams(*this, *python);
        batchParams.separation.saveFolder = saveFolder;
    }
    auto* job = new BatchJob(std::move(batchParams));
    // The downloaded files become what Separate works on next.
    connect(job, &Job::logCleared, this, [this] { setAudioFiles({}); });
    connect(job, &BatchJob::audioFile, this, [this](const QString& path) {
        QStringList files = m_audioFiles;
        if (path.isEmpty() && !files.isEmpty())
            files.removeLast();  // a stopped download took its file back
        else if (!path.isEmpty() && !files.contains(path))
            files << path;
        setAudioFiles(files);
    });
    watchStems(job);
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
    try {
        params = m_tools.demucsInstallParams();
    } catch (const AppError& error) {
        appendLog(QStringLiteral("Failed to start Demucs install: ") + error.localizedDescription());
        return;
    }
    auto* job = new DemucsInstallJob(std::move(params));
    connect(job, &DemucsInstallJob::installed, this, [this] { installDemucsButton->setText(demucsInstalledTitle); });
    connect(job, &DemucsInstallJob::rebuildRequested, this,
            [this, job](const QString& environmentFolder, const QString& reason) {
                QMessageBox* box = askQuestion(QStringLiteral("Rebuild Demucs Environment?"),
                                               DemucsInstallJob::rebuildQuestion(environmentFolder, reason),
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

std::optional<QString> AppDelegate::installedDemucsPython()
{
    const QString python = managedDemucsPythonURL();
    if (fileops::isExecutableFile(python))
        return python;
    appendLog(QStringLiteral("Demucs is not installed."));
    appendLog(QStringLiteral("Click Install Demucs, then try again."));
    return std::nullopt;
}

void AppDelegate::watchStems(Job* job)
{
    const auto saved = [this](const QString& folder) {
        m_lastStemsFolder = folder;
        showStemsButton->setEnabled(true);
    };
    if (auto* separation = qobject_cast<SeparationJob*>(job))
        connect(separation, &SeparationJob::stemsSaved, this, saved);
    else if (auto* batch = qobject_cast<BatchJob*>(job))
        connect(batch, &BatchJob::stemsSaved, this, saved);
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
    const QStringList files = m_audioFiles.size() > 1 ? m_audioFiles : QStringList{*lastAudioURL()};
    // A queue checks each file when its turn comes.
    if (files.size() == 1 && !QFileInfo::exists(files.first())) {
        appendLog(QStringLiteral("Audio file was not found: ") + files.first());
        return;
    }
    const std::optional<QString> python = installedDemucsPython();
    if (!python)
        return;
    SeparationJob::Params params = separationParams(*this, *python);
    std::tie(params.saveFolder, params.saveFolderDefaulted) = saveFolderForRun();
    Job* job = nullptr;
    if (files.size() == 1) {
        params.audioFile = files.first();
        job = new SeparationJob(std::move(params));
    } else {
        BatchJob::Params batchParams;
        for (const QString& file : files)
            batchParams.items.append({file, false});
        batchParams.separation = std::move(params);
        job = new BatchJob(std::move(batchParams));
    }
    watchStems(job);
    runJob(job);
}

SeparationMode AppDelegate::currentMode() const
{
    SeparationMode mode = SeparationMode::fromSegment(stemModeControl->selectedSegment());
    mode.bestQuality = bestQuality();
    return mode;
}

bool AppDelegate::bestQuality() const
{
    return bestQualityAction && bestQualityAction->isChecked();
}

void AppDelegate::setBestQuality(bool on)
{
    if (bestQualityAction)
        bestQualityAction->setChecked(on);
    m_settings->setValue(QStringLiteral("bestQualityModel"), on);
}

void AppDelegate::setExportFormat(separation::ExportFormat format)
{
    m_exportFormat = format;
    m_settings->setValue(QStringLiteral("exportFormat"), separation::formatExtension(format));
    showExportFormat();
}

void AppDelegate::showExportFormat()
{
    // The menu lists the formats in the order of the enum.
    for (int i = 0; i < formatActions.size(); ++i)
        formatActions.at(i)->setChecked(i == int(m_exportFormat));
}

void AppDelegate::restoreSeparationChoices()
{
    // A value this version does not know means the default.
    const QString format = m_settings->value(QStringLiteral("exportFormat")).toString();
    m_exportFormat = separation::formatFromExtension(format).value_or(separation::ExportFormat::aac);
    showExportFormat();
    if (bestQualityAction)
        bestQualityAction->setChecked(m_settings->value(QStringLiteral("bestQualityModel")).toBool());
}

void AppDelegate::showStems()
{
    if (m_lastStemsFolder.isEmpty())
        return;
    if (!QFileInfo(m_lastStemsFolder).isDir()) {
        appendLog(QStringLiteral("The stems folder is gone: ") + m_lastStemsFolder);
        return;
    }
    openUrl(QUrl::fromLocalFile(m_lastStemsFolder));
}

void AppDelegate::openSaveFolder()
{
    const QString shown = folderField->text();
    const QString folder = shown.startsWith(QLatin1Char('/')) ? shown : defaultSaveFolder();
    if (!QFileInfo(folder).isDir()) {
        appendLog(QStringLiteral("The save folder does not exist yet: ") + folder);
        return;
    }
    openUrl(QUrl::fromLocalFile(folder));
}

void AppDelegate::handleDrop(const QList<QUrl>& urls, const QString& text)
{
    if (isBusy()) {
        appendLog(QStringLiteral("Another task is already running."));
        return;
    }
    const batch::Drop drop = batch::classifyDrop(urls, text);
    for (const QString& name : drop.refused)
        appendLog(QStringLiteral("Not an audio file or a link: ") + name);
    if (!drop.links.isEmpty())
        urlField->setText(drop.links.join(QLatin1Char(' ')));
    if (!drop.files.isEmpty())
        applyChosenAudioFiles(drop.files);
}
