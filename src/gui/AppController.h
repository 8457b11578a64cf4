#pragma once

#include "base/PlatformProfile.h"
#include "jobs/Job.h"
#include "logs/RunLog.h"
#include "separation/ExportFormat.h"
#include "separation/SeparationMode.h"
#include "session/Settings.h"
#include "session/Toolbox.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class BatchJob;
class ChildProcess;
class JobQueue;
class MainWindow;
class MixerWindow;
class QThread;
class QTimer;

// The window's controller: it owns the window, the settings, the toolbox and
// the job queue. It connects what the window asks for to the guards of each
// action, starts the jobs and shows what they emit in the window. It holds no
// widget: everything on screen goes through MainWindow.
class AppController : public QObject {
    Q_OBJECT
public:
    explicit AppController(PlatformProfile profile = PlatformProfile::current(), QObject* parent = nullptr);
    ~AppController() override;

    MainWindow& mainWindow() const { return *m_window; }
    const Toolbox& tools() const { return m_tools; }
    const PlatformProfile& profile() const { return m_profile; }

    // ---- launch, log, alerts, control states -------------------------------
    // Restores the choices, shows the window, writes the opening lines and
    // starts the checks that run in the background.
    void applicationDidFinishLaunching();
    void appendLog(const QString& text);
    // Each non-blank text as an entry, in the view and in the run's log file.
    void appendLogEntries(const QStringList& texts);
    void clearLog();
    int keptRunLogs = 20;
    // Where each run's full log is written (the support folder's "logs").
    QString logFolder() const;  // throws AppError
    void openLogFolder();
    void showAlert(const Alert& alert);
    // Without a value: busy while a job runs.
    void updateControlStates(std::optional<bool> running = std::nullopt);

    // ---- the audio file and the save folder ---------------------------------
    const std::optional<QString>& lastAudioURL() const { return m_lastAudioURL; }
    // Every assignment shows the path in the audio field and updates the controls.
    void setLastAudioURL(std::optional<QString> url);
    // What Separate works on: the audio file, or several for a queue.
    const QStringList& audioFiles() const { return m_audioFiles; }
    // One file is setLastAudioURL; several show as a list and the last is lastAudioURL.
    void setAudioFiles(const QStringList& files);
    void restoreFolder();
    // The shown save folder, or the default one (then shown) when none is
    // set; true when it was defaulted.
    std::pair<QString, bool> saveFolderForRun();
    // What the choosers and a drop do with what they were given.
    void applyChosenFolder(const QString& path);
    void applyChosenAudioFile(const QString& path);
    void applyChosenAudioFiles(const QStringList& paths);
    // A drop onto the window: its URLs, or without any the words of its text.
    void handleDrop(const QList<QUrl>& urls, const QString& text);
    // Opens a folder in the desktop's file manager; tests replace it.
    std::function<bool(const QUrl&)> openUrl;
    void openSaveFolder();
    // The stems folder of the last separation that finished in this session.
    const QString& lastStemsFolder() const { return m_lastStemsFolder; }
    void showStems();
    // Opens a mixer window on a stems folder; an alert says why when the
    // folder holds no stems. Several may be open; each is deleted when closed.
    MixerWindow* openMixer(const QString& folder);
    QList<MixerWindow*> mixerWindows() const;

    // ---- jobs, stopping, quitting -------------------------------------------
    // Starts the job (or queues it behind the running one) and shows what it emits.
    void runJob(Job* job);
    Job* currentJob() const;
    bool isBusy() const;
    // The Stop button.
    void stopCurrentJob();
    // Quit from the menu or the window: asks first while a job runs.
    void requestQuit();
    // Stops the job, waits for it (quitWaitMs at most) and quits, without asking.
    void stopAndQuit();
    bool isQuitting() const { return m_quitting; }
    // How long a quit waits for the stopped job before it is deleted.
    int quitWaitMs = 5000;

    // ---- tools --------------------------------------------------------------
    const std::optional<QString>& installedYtDlp() const { return m_installedYtDlp; }
    void markYtDlpInstalled(const QString& path);
    // Finds the managed yt-dlp again and shows what it found.
    void updateYtDlpInstallStatus();
    void appendYtDlpInstallStatusLog();
    void installYtDlp();
    // Downloads the managed yt-dlp and Deno again; without a managed yt-dlp, installYtDlp.
    void updateYtDlp();
    // Titles Install Demucs from the compatibility probe, in the background.
    void refreshDemucsStatus();
    bool isCheckingDemucs() const;
    void installDemucs();

    // ---- runs ---------------------------------------------------------------
    void startDownload();
    // The browser yt-dlp reads cookies from, as the Cookies menu names it; empty for none.
    QString cookiesBrowser() const { return m_cookiesBrowser; }
    void setCookiesBrowser(const QString& browser);
    void startSeparation();
    // The Format menu and the mode row, as the next separation uses them.
    separation::ExportFormat exportFormat() const { return m_exportFormat; }
    void setExportFormat(separation::ExportFormat format);
    bool bestQuality() const;
    void setBestQuality(bool on);
    SeparationMode currentMode() const;
    // Encodes at once; 0 means one per core.
    int maxParallelEncodes = 0;

signals:
    // The last step of a quit: the application may end now.
    void readyToQuit();

private:
    void connectWindow();
    void onJobStarted(Job* job);
    void onJobFinished();
    void showStage(const QString& text);
    void quitNow();
    // The guards of both installer actions; they log why not.
    bool ytDlpInstallerMayStart();
    void runYtDlpInstaller(bool update);
    // Shows the chooser and the playlist question a download queue asks for.
    void askForBatch(BatchJob* job);
    // Connects what a job that saves stems reports.
    void watchStems(Job* job);
    // The managed interpreter, or nothing after logging how to install it.
    std::optional<QString> installedDemucsPython();
    SeparationJob::Params separationParams(const QString& python) const;

    PlatformProfile m_profile;
    Settings m_settings;
    Toolbox m_tools;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<JobQueue> m_jobs;
    logs::RunLogFile m_runLog;
    std::optional<QString> m_lastAudioURL;
    QStringList m_audioFiles;
    QString m_lastStemsFolder;
    QList<QPointer<MixerWindow>> m_mixers;
    std::optional<QString> m_installedYtDlp;
    QString m_cookiesBrowser;
    separation::ExportFormat m_exportFormat = separation::ExportFormat::aac;
    // A job's alert waits for its end, so it comes after the controls are back.
    std::optional<Alert> m_pendingAlert;
    QPointer<ChildProcess> m_demucsProbe;
    QPointer<QThread> m_leftoverSweep;
    QPointer<QObject> m_quitQuestion;
    QTimer* m_quitTimer = nullptr;
    bool m_quitting = false;
    bool m_stopping = false;  // Stop was pressed; the job has not ended yet
    bool m_demucsCheckPending = false;  // the launch check waits for the window
};
