#include "gui/AppController.h"

#include "base/AppError.h"
#include "base/FileOps.h"
#include "base/Version.h"
#include "batch/BatchJob.h"
#include "batch/Inputs.h"
#include "demucs/DemucsEnvironment.h"
#include "demucs/DemucsInstallJob.h"
#include "download/DownloadJob.h"
#include "gui/MainWindow.h"
#include "gui/mixer/MixerController.h"
#include "gui/mixer/MixerWindow.h"
#include "jobs/JobQueue.h"
#include "jobs/SaveFolderCheck.h"
#include "mixer/StemFolder.h"
#include "process/ChildProcess.h"
#include "separation/Leftovers.h"
#include "separation/SeparationJob.h"
#include "session/LeftoverSweep.h"
#include "ytdlp/YtDlpInstallJob.h"
#include "ytdlp/YtDlpLocator.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

namespace {

const QString installYtDlpTitle = QStringLiteral("Install yt-dlp");
const QString ytDlpInstalledTitle = QStringLiteral("yt-dlp Installed");
const QString installDemucsTitle = QStringLiteral("Install Demucs");
const QString demucsInstalledTitle = QStringLiteral("Demucs Installed");
const QString anotherTaskRunning = QStringLiteral("Another task is already running.");

}  // namespace

AppController::AppController(PlatformProfile profile, QObject* parent)
    : QObject(parent),
      m_profile(std::move(profile)),
      m_settings(m_profile),
      m_tools(m_profile, m_settings),
      m_window(std::make_unique<MainWindow>(applicationVersion(), m_profile.cookieBrowsers)),
      m_jobs(std::make_unique<JobQueue>())
{
    m_window->setAttribute(Qt::WA_DeleteOnClose, false);  // owned here: closing must not delete it
    openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    connect(m_jobs.get(), &JobQueue::jobStarted, this, &AppController::onJobStarted);
    connect(m_jobs.get(), &JobQueue::jobFinished, this, &AppController::onJobFinished);
    connectWindow();
}

AppController::~AppController()
{
    m_window->disconnect(this);
    m_jobs->disconnect(this);
    // The jobs go before the window: deleting them stops and reaps their
    // children, and nothing they emit on the way reaches this controller.
    for (Job* job : m_jobs->jobs())
        job->disconnect(this);
    m_jobs.reset();
    // Each mixer stops its sound and removes its decoded stems.
    for (const QPointer<MixerWindow>& mixer : std::as_const(m_mixers))
        delete mixer.data();
    delete m_demucsProbe.data();
    if (m_leftoverSweep)
        m_leftoverSweep->wait();
    m_window.reset();
}

void AppController::connectWindow()
{
    MainWindow* w = m_window.get();
    connect(w, &MainWindow::downloadRequested, this, &AppController::startDownload);
    connect(w, &MainWindow::separateRequested, this, &AppController::startSeparation);
    connect(w, &MainWindow::stopRequested, this, &AppController::stopCurrentJob);
    connect(w, &MainWindow::installYtDlpRequested, this, &AppController::installYtDlp);
    connect(w, &MainWindow::updateYtDlpRequested, this, &AppController::updateYtDlp);
    connect(w, &MainWindow::installDemucsRequested, this, &AppController::installDemucs);
    connect(w, &MainWindow::showStemsRequested, this, &AppController::showStems);
    connect(w, &MainWindow::playStemsRequested, this, [this] {
        if (!m_lastStemsFolder.isEmpty())
            openMixer(m_lastStemsFolder);
    });
    connect(w, &MainWindow::stemsFolderChosen, this, &AppController::openMixer);
    connect(w, &MainWindow::openSaveFolderRequested, this, &AppController::openSaveFolder);
    connect(w, &MainWindow::openLogFolderRequested, this, &AppController::openLogFolder);
    connect(w, &MainWindow::quitRequested, this, &AppController::requestQuit);
    connect(w, &MainWindow::folderChosen, this, &AppController::applyChosenFolder);
    connect(w, &MainWindow::audioFilesChosen, this, &AppController::applyChosenAudioFiles);
    connect(w, &MainWindow::dropped, this, &AppController::handleDrop);
    connect(w, &MainWindow::cookiesBrowserChosen, this, &AppController::setCookiesBrowser);
    connect(w, &MainWindow::exportFormatChosen, this, &AppController::setExportFormat);
    connect(w, &MainWindow::bestQualityChosen, this, &AppController::setBestQuality);
    connect(w, &MainWindow::separateAfterDownloadChosen, this,
            [this](bool on) { m_settings.setSeparateAfterDownload(on); });
    connect(w, &MainWindow::firstExposed, this, [this] {
        if (m_demucsCheckPending)
            QTimer::singleShot(0, this, [this] {
                if (m_demucsCheckPending)
                    refreshDemucsStatus();
            });
    });
}

void AppController::applicationDidFinishLaunching()
{
    m_cookiesBrowser = m_tools.storedCookiesBrowser();
    m_window->showCookiesBrowser(m_cookiesBrowser);
    m_exportFormat = m_settings.exportFormat();
    m_window->showExportFormat(m_exportFormat);
    m_window->showBestQuality(m_settings.bestQualityModel());
    m_window->showSeparateAfterDownload(m_settings.separateAfterDownload());
    restoreFolder();
    updateYtDlpInstallStatus();  // also sets the control states
    m_window->setDemucsButtonTitle(installDemucsTitle);
    appendLog(QStringLiteral("Ready. Version: ") + applicationVersion());
    appendYtDlpInstallStatusLog();
    appendLog(QStringLiteral("Paste a YouTube URL, choose a save folder, then click Start."));
    appendLog(QStringLiteral("After download, install Demucs once and click Separate to create compressed stems."));
    // The save folder shown, else the default a run would use.
    const QString shown = m_window->saveFolderText();
    m_leftoverSweep = sweepLeftoversInBackground(
        m_profile.tempDir, shown.startsWith(QLatin1Char('/')) ? shown : m_tools.defaultSaveFolder(), this,
        [this](const leftovers::Swept& swept) {
            if (swept.items > 0)
                appendLog(leftovers::removedMessage(swept.bytes));
        });

    // Importing torch takes seconds; the window does not wait for it, nor for
    // starting the probe: that begins once the window is on screen.
    m_demucsCheckPending = true;
    m_window->present();
    QTimer::singleShot(500, this, [this] {
        if (m_demucsCheckPending)
            refreshDemucsStatus();
    });
}

void AppController::appendLog(const QString& text)
{
    appendLogEntries({text});
}

void AppController::appendLogEntries(const QStringList& texts)
{
    QStringList entries;
    entries.reserve(texts.size());
    for (const QString& text : texts) {
        const QString entry = text.trimmed();
        if (!entry.isEmpty())
            entries << entry;
    }
    if (entries.isEmpty())
        return;
    m_runLog.write(entries);
    m_window->appendLogEntries(entries);
}

void AppController::clearLog()
{
    m_window->clearLog();
}

QString AppController::logFolder() const
{
    return fileops::appendingComponent(m_tools.appSupportFolder(), QStringLiteral("logs"));
}

void AppController::openLogFolder()
{
    try {
        const QString folder = logFolder();
        fileops::createDirectories(folder);
        openUrl(QUrl::fromLocalFile(folder));
    } catch (const AppError& error) {
        appendLog(error.localizedDescription());
    }
}

void AppController::showAlert(const Alert& alert)
{
    m_window->showAlert(alert);
}

void AppController::updateControlStates(std::optional<bool> running)
{
    ControlStates states;
    states.busy = running.has_value() ? *running : isBusy();
    states.stopping = m_stopping;
    states.ytDlpInstalled = m_installedYtDlp.has_value();
    states.hasAudio = m_lastAudioURL.has_value();
    states.hasStems = !m_lastStemsFolder.isEmpty();
    m_window->showControlStates(states);
    m_window->setCloseAsksToQuit(isBusy() && !m_quitting);
}

void AppController::setLastAudioURL(std::optional<QString> url)
{
    m_lastAudioURL = std::move(url);
    m_audioFiles = m_lastAudioURL ? QStringList{*m_lastAudioURL} : QStringList();
    m_window->showAudioFiles(m_lastAudioURL.value_or(QString()), QString());
    updateControlStates();
}

void AppController::setAudioFiles(const QStringList& files)
{
    if (files.size() <= 1) {
        setLastAudioURL(files.isEmpty() ? std::nullopt : std::optional<QString>(files.first()));
        return;
    }
    m_audioFiles = files;
    m_lastAudioURL = files.last();
    QStringList names;
    for (const QString& file : files)
        names << fileops::lastComponent(file);
    m_window->showAudioFiles(QStringLiteral("%1 files: ").arg(files.size()) + names.join(QStringLiteral(", ")),
                             files.join(QLatin1Char('\n')));
    updateControlStates();
}

void AppController::restoreFolder()
{
    m_window->showSaveFolder(m_tools.storedSaveFolder().value_or(m_tools.defaultSaveFolder()));
}

std::pair<QString, bool> AppController::saveFolderForRun()
{
    const QString shown = m_window->saveFolderText();
    // An absolute path is kept even when unusable: the job's check says why.
    if (shown.startsWith(QLatin1Char('/')))
        return {shown, false};
    const QString folder = m_tools.defaultSaveFolder();
    m_window->showSaveFolder(folder);
    return {folder, true};
}

void AppController::applyChosenFolder(const QString& path)
{
    if (savefolder::hasControlCharacters(path)) {
        appendLog(QStringLiteral("Folder names with line breaks are not supported: ") + path);
        return;
    }
    m_window->showSaveFolder(path);
    m_settings.setSaveFolder(path);
    appendLog(QStringLiteral("Save folder: ") + path);
}

void AppController::applyChosenAudioFiles(const QStringList& paths)
{
    // A chooser lists a name that is not UTF-8 with U+FFFD; the file is the one it showed.
    QStringList files;
    for (const QString& path : paths)
        files << fileops::resolveShownPath(path);
    setAudioFiles(files);
    for (const QString& file : std::as_const(files))
        appendLog(QStringLiteral("Audio file: ") + fileops::shownPath(file));
}

void AppController::applyChosenAudioFile(const QString& path)
{
    applyChosenAudioFiles({path});
}

void AppController::handleDrop(const QList<QUrl>& droppedUrls, const QString& text)
{
    // A stems folder opens in the mixer, whatever runs; the rest as before.
    QList<QUrl> urls;
    bool openedStems = false;
    for (const QUrl& url : droppedUrls) {
        if (url.isLocalFile() && mixer::looksLikeStemFolder(url.toLocalFile())) {
            openMixer(url.toLocalFile());
            openedStems = true;
        } else {
            urls << url;
        }
    }
    if (openedStems && urls.isEmpty())
        return;
    if (isBusy()) {
        appendLog(anotherTaskRunning);
        return;
    }
    const batch::Drop drop = batch::classifyDrop(urls, text);
    for (const QString& name : drop.refused)
        appendLog(QStringLiteral("Not an audio file or a link: ") + name);
    if (!drop.links.isEmpty())
        m_window->setUrlText(drop.links.join(QLatin1Char(' ')));
    if (!drop.files.isEmpty())
        applyChosenAudioFiles(drop.files);
}

void AppController::openSaveFolder()
{
    const QString shown = m_window->saveFolderText();
    const QString folder = shown.startsWith(QLatin1Char('/')) ? shown : m_tools.defaultSaveFolder();
    if (!QFileInfo(folder).isDir()) {
        appendLog(QStringLiteral("The save folder does not exist yet: ") + folder);
        return;
    }
    openUrl(QUrl::fromLocalFile(folder));
}

void AppController::showStems()
{
    if (m_lastStemsFolder.isEmpty())
        return;
    if (!QFileInfo(m_lastStemsFolder).isDir()) {
        appendLog(QStringLiteral("The stems folder is gone: ") + m_lastStemsFolder);
        return;
    }
    openUrl(QUrl::fromLocalFile(m_lastStemsFolder));
}

MixerWindow* AppController::openMixer(const QString& folder)
{
    auto stems = mixer::readStemFolder(folder);
    if (const QString* reason = std::get_if<QString>(&stems)) {
        m_window->showAlert({Alert::Severity::warning, QStringLiteral("Cannot Open Stems"), *reason});
        return nullptr;
    }
    auto* mixer = new MixerWindow(m_profile, std::move(std::get<mixer::StemFolder>(stems)));
    // Save Mix takes the format chosen in this window's Format menu.
    mixer->controller().exportFormat = [this] { return m_exportFormat; };
    m_mixers.removeAll(nullptr);
    m_mixers << mixer;
    mixer->show();
    mixer->raise();
    mixer->activateWindow();
    return mixer;
}

QList<MixerWindow*> AppController::mixerWindows() const
{
    QList<MixerWindow*> open;
    for (const QPointer<MixerWindow>& mixer : m_mixers) {
        if (mixer)
            open << mixer.data();
    }
    return open;
}

void AppController::runJob(Job* job)
{
    connect(job, &Job::logCleared, this, &AppController::clearLog);
    connect(job, &Job::logEntries, this, &AppController::appendLogEntries);
    connect(job, &Job::stage, this, &AppController::showStage);
    connect(job, &Job::progress, m_window.get(), &MainWindow::showProgress);
    connect(job, &Job::alert, this, [this](const Alert& alert) { m_pendingAlert = alert; });
    m_jobs->enqueue(job);
    if (!job->hasFinished())
        updateControlStates(true);
}

Job* AppController::currentJob() const
{
    return m_jobs->current();
}

bool AppController::isBusy() const
{
    return m_jobs->isBusy();
}

void AppController::onJobStarted(Job* job)
{
    const QString kind = job->logName();
    QString folder;
    try {
        folder = logFolder();
    } catch (const AppError&) {
        return;  // no support folder: the view is all there is
    }
    // A support folder that takes no files costs the record, not the run.
    if (!m_runLog.open(folder, kind, QDateTime::currentDateTime()))
        return;
    logs::removeOldRunLogs(folder, keptRunLogs);
    m_runLog.write({QStringLiteral("Stemloft ") + applicationVersion() + QStringLiteral(", ") +
                    QDateTime::currentDateTime().toString(Qt::ISODate)});
}

void AppController::onJobFinished()
{
    m_runLog.close();
    if (isBusy())
        return;  // the next queued job runs; the alert waits for the last one
    m_stopping = false;
    m_window->showIdleStatus();
    updateControlStates(false);
    if (const auto alert = std::exchange(m_pendingAlert, std::nullopt))
        showAlert(*alert);
    if (m_quitting)
        quitNow();
}

void AppController::showStage(const QString& text)
{
    if (m_stopping)
        return;  // the job's last stages are no longer news
    m_window->showStage(text);
}

void AppController::stopCurrentJob()
{
    Job* job = currentJob();
    if (!job)
        return;
    // A child gets a few seconds to end; meanwhile the row says so and a
    // second press has nothing more to do.
    m_stopping = true;
    m_window->showStage(QStringLiteral("Stopping..."));
    updateControlStates();
    job->stop();
}

void AppController::requestQuit()
{
    if (!isBusy()) {
        quitNow();
        return;
    }
    if (m_quitting)
        return;
    if (m_quitQuestion) {
        m_window->raiseQuestion(m_quitQuestion);
        return;
    }
    m_quitQuestion = m_window->askQuestion(QStringLiteral("Quit Stemloft?"),
                                           QStringLiteral("A task is still running. Stop it and quit?"),
                                           QStringLiteral("Stop and Quit"), [this](bool stop) {
                                               if (stop)
                                                   stopAndQuit();
                                           });
}

void AppController::stopAndQuit()
{
    if (m_quitQuestion)
        m_window->closeQuestion(m_quitQuestion);
    m_quitting = true;
    m_window->setCloseAsksToQuit(false);
    if (!isBusy()) {
        quitNow();
        return;
    }
    m_jobs->stopAll();
    if (!m_quitTimer) {
        // A job that does not end in time is deleted: that kills its children.
        m_quitTimer = new QTimer(this);
        m_quitTimer->setSingleShot(true);
        connect(m_quitTimer, &QTimer::timeout, this, &AppController::quitNow);
        m_quitTimer->start(quitWaitMs);
    }
}

void AppController::quitNow()
{
    if (m_quitTimer)
        m_quitTimer->stop();
    emit readyToQuit();
}

// ---- tools ------------------------------------------------------------------

void AppController::markYtDlpInstalled(const QString& path)
{
    m_tools.rememberYtDlp(path);
    m_installedYtDlp = path;
    m_window->setYtDlpButton(ytDlpInstalledTitle, path);
    updateControlStates();
}

void AppController::updateYtDlpInstallStatus()
{
    if (const std::optional<QString> found = m_tools.findManagedYtDlp()) {
        markYtDlpInstalled(*found);
        return;
    }
    m_installedYtDlp.reset();
    m_settings.clearYtDlpPath();
    m_window->setYtDlpButton(installYtDlpTitle, QStringLiteral("Install yt-dlp into the app support folder."));
    updateControlStates();
}

void AppController::appendYtDlpInstallStatusLog()
{
    const std::optional<QString> found = m_tools.findManagedYtDlp();
    if (!found) {
        appendLog(QStringLiteral("yt-dlp was not detected. Click Install yt-dlp if downloads fail."));
        return;
    }
    appendLog(QStringLiteral("yt-dlp detected: ") + *found);
    if (const auto note = ytdlp::ageNote(QFileInfo(*found).lastModified(), QDateTime::currentDateTime()))
        appendLog(*note);
}

bool AppController::ytDlpInstallerMayStart()
{
    if (qobject_cast<YtDlpInstallJob*>(currentJob())) {
        appendLog(QStringLiteral("yt-dlp installation is already running."));
        return false;
    }
    if (isBusy()) {
        appendLog(anotherTaskRunning);
        return false;
    }
    return true;
}

void AppController::installYtDlp()
{
    if (!ytDlpInstallerMayStart())
        return;
    if (const std::optional<QString> found = m_tools.findManagedYtDlp()) {
        markYtDlpInstalled(*found);
        appendLog(QStringLiteral("yt-dlp is already installed."));
        appendLog(*found);
        showAlert({Alert::Severity::information, QStringLiteral("yt-dlp Already Installed"),
                   QStringLiteral("You can download reference audio without installing again.")});
        return;
    }
    runYtDlpInstaller(false);
}

void AppController::updateYtDlp()
{
    if (!m_tools.findManagedYtDlp()) {
        installYtDlp();
        return;
    }
    if (ytDlpInstallerMayStart())
        runYtDlpInstaller(true);
}

void AppController::runYtDlpInstaller(bool update)
{
    if (!m_tools.findTool(m_profile.curlPath)) {
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
    connect(job, &Job::logCleared, this, [this] { m_window->setYtDlpButtonTitle(QStringLiteral("Installing...")); });
    connect(job, &YtDlpInstallJob::installed, this, &AppController::markYtDlpInstalled);
    connect(job, &Job::finished, this, [this](Job::Outcome) {
        // A title left at "Installing..." would claim a download that is not running.
        m_window->setYtDlpButtonTitle(m_installedYtDlp ? ytDlpInstalledTitle : installYtDlpTitle);
    });
    runJob(job);
}

void AppController::refreshDemucsStatus()
{
    m_demucsCheckPending = false;
    delete m_demucsProbe.data();
    m_demucsProbe = demucs::probeManagedEnvironment(
        this, m_tools.managedDemucsPython(), m_tools.demucsEnvironment(), m_profile.probeTimeLimitMs,
        [this](const demucs::ProbeAnswer& answer) {
            m_demucsProbe = nullptr;
            // A broken environment says why, so the title has a reason.
            appendLogEntries(answer.logLines(m_profile.probeTimeLimitMs));
            if (!answer.stopped)
                m_window->setDemucsButtonTitle(answer.compatible ? demucsInstalledTitle : installDemucsTitle);
        });
}

bool AppController::isCheckingDemucs() const
{
    return m_demucsCheckPending || !m_demucsProbe.isNull();
}

void AppController::installDemucs()
{
    if (isBusy()) {
        appendLog(anotherTaskRunning);
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
    connect(job, &DemucsInstallJob::installed, this, [this] { m_window->setDemucsButtonTitle(demucsInstalledTitle); });
    connect(job, &DemucsInstallJob::rebuildRequested, this,
            [this, job](const QString& environmentFolder, const QString& reason) {
                QObject* question = m_window->askQuestion(
                    QStringLiteral("Rebuild Demucs Environment?"),
                    DemucsInstallJob::rebuildQuestion(environmentFolder, reason), QStringLiteral("Rebuild"),
                    [job](bool rebuild) { job->answerRebuild(rebuild); });
                connect(job, &Job::finished, question, [this, question] { m_window->closeQuestion(question); });
            });
    connect(job, &Job::finished, this, [this](Job::Outcome outcome) {
        // Every way to an end other than success began with a failed check.
        if (outcome != Job::Outcome::succeeded)
            m_window->setDemucsButtonTitle(installDemucsTitle);
    });
    runJob(job);
}

std::optional<QString> AppController::installedDemucsPython()
{
    const QString python = m_tools.managedDemucsPython();
    if (fileops::isExecutableFile(python))
        return python;
    appendLog(QStringLiteral("Demucs is not installed."));
    appendLog(QStringLiteral("Click Install Demucs, then try again."));
    return std::nullopt;
}

// ---- runs -------------------------------------------------------------------

void AppController::startDownload()
{
    const QString text = m_window->urlText().trimmed();
    if (text.isEmpty()) {
        appendLog(QStringLiteral("Enter a YouTube URL first."));
        return;
    }
    if (isBusy()) {
        appendLog(QStringLiteral("A download is already running."));
        return;
    }
    const batch::UrlList links = batch::parseUrlList(text);
    if (links.urls.isEmpty() && links.search.isEmpty()) {
        for (const QString& word : links.rejected)
            appendLog(QStringLiteral("Not a link: ") + word);
        appendLog(QStringLiteral("Enter a YouTube URL first."));
        return;
    }
    std::optional<QString> executable = m_installedYtDlp;
    if (!executable || !ytdlp::isUsableExecutable(*executable))
        executable = m_tools.findYtDlp();
    if (!executable) {
        appendLog(QStringLiteral("yt-dlp was not found."));
        appendLog(QStringLiteral("Click Install yt-dlp, then try again."));
        return;
    }
    // Minutes of downloading must not end where nothing can separate them.
    const bool separate = m_window->separateAfterDownload();
    std::optional<QString> python;
    if (separate && !(python = installedDemucsPython()))
        return;
    const auto [saveFolder, defaulted] = saveFolderForRun();
    DownloadJob::Params params{*executable, QString(), saveFolder, m_tools.downloadEnvironment(), defaulted};
    params.cookiesBrowser = m_cookiesBrowser;
    // Even one link runs as a queue: yt-dlp may find it is a playlist.
    BatchJob::Params batchParams;
    for (const QString& url : links.urls)
        batchParams.items.append({url, true});
    if (!links.search.isEmpty())
        batchParams.items.append({links.search, false, true});
    for (const QString& word : links.rejected)
        batchParams.notes << QStringLiteral("Not a link: ") + word;
    batchParams.separateDownloads = separate;
    batchParams.download = std::move(params);
    batchParams.chooseSearchResult = true;
    batchParams.confirmPlaylistAbove = 25;
    if (python) {
        batchParams.separation = separationParams(*python);
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
    askForBatch(job);
    watchStems(job);
    runJob(job);
}

void AppController::askForBatch(BatchJob* job)
{
    const auto closeWithJob = [this, job](QObject* question) {
        connect(job, &Job::finished, question, [this, question] { m_window->closeQuestion(question); });
    };
    connect(job, &BatchJob::recordingsFound, this, [job, closeWithJob, this](const QList<download::ListedEntry>& entries) {
        QStringList labels;
        for (const download::ListedEntry& entry : entries)
            labels << download::entryLabel(entry);
        QPointer<BatchJob> asking(job);
        closeWithJob(m_window->chooseRecording(labels, [asking](int index) {
            if (asking)
                asking->chooseRecording(index);
        }));
    });
    connect(job, &BatchJob::playlistFound, this, [job, closeWithJob, this](int count) {
        QPointer<BatchJob> asking(job);
        closeWithJob(m_window->askQuestion(
            QStringLiteral("Download %1 Recordings?").arg(count),
            QStringLiteral("The playlist holds %1 recordings. Each is downloaded in turn.").arg(count),
            QStringLiteral("Download"), [asking](bool download) {
                if (asking)
                    asking->confirmPlaylist(download);
            }));
    });
}

void AppController::setCookiesBrowser(const QString& browser)
{
    m_cookiesBrowser = m_profile.cookieBrowsers.contains(browser) ? browser : QString();
    m_settings.setCookiesBrowser(m_cookiesBrowser);
    m_window->showCookiesBrowser(m_cookiesBrowser);
}

void AppController::watchStems(Job* job)
{
    const auto saved = [this](const QString& folder) {
        m_lastStemsFolder = folder;
        updateControlStates();
    };
    if (auto* separation = qobject_cast<SeparationJob*>(job))
        connect(separation, &SeparationJob::stemsSaved, this, saved);
    else if (auto* batch = qobject_cast<BatchJob*>(job))
        connect(batch, &BatchJob::stemsSaved, this, saved);
}

SeparationJob::Params AppController::separationParams(const QString& python) const
{
    SeparationJob::Params params = m_tools.separationParams(python, currentMode(), m_exportFormat);
    params.maxParallelEncodes = maxParallelEncodes;
    return params;
}

void AppController::startSeparation()
{
    if (isBusy()) {
        appendLog(anotherTaskRunning);
        return;
    }
    if (!m_lastAudioURL) {
        appendLog(QStringLiteral("Download or choose an audio file first."));
        return;
    }
    const QStringList files = m_audioFiles.size() > 1 ? m_audioFiles : QStringList{*m_lastAudioURL};
    // A queue checks each file when its turn comes.
    if (files.size() == 1 && !fileops::exists(files.first())) {
        appendLog(QStringLiteral("Audio file was not found: ") + fileops::shownPath(files.first()));
        return;
    }
    const std::optional<QString> python = installedDemucsPython();
    if (!python)
        return;
    SeparationJob::Params params = separationParams(*python);
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

SeparationMode AppController::currentMode() const
{
    return m_window->separationMode();
}

bool AppController::bestQuality() const
{
    return currentMode().bestQuality;
}

void AppController::setBestQuality(bool on)
{
    m_window->showBestQuality(on);
    m_settings.setBestQualityModel(on);
}

void AppController::setExportFormat(separation::ExportFormat format)
{
    m_exportFormat = format;
    m_settings.setExportFormat(format);
    m_window->showExportFormat(format);
}
