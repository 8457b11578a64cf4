#pragma once

#include "base/PlatformProfile.h"
#include "jobs/JobQueue.h"
#include "session/Toolbox.h"
#include "base/Version.h"
#include "jobs/Job.h"
#include "logs/RunLog.h"
#include "separation/ExportFormat.h"
#include "separation/SeparationMode.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class ChildProcess;
class Job;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSettings;
class QThread;
class QTimer;
class QWidget;
class SegmentedControl;

// The one controller: owns the window and its controls and the job queue. It
// runs the guards of every action, starts jobs and passes what they emit to
// the log, the alerts, the status row and the control states. Its member
// functions live in the folder of their subsystem.
class AppDelegate : public QObject {
public:
    using SeparationMode = ::SeparationMode;

    explicit AppDelegate(PlatformProfile profile = PlatformProfile::current(),
                         QObject* parent = nullptr);
    ~AppDelegate() override;

    // ---- app: launch, log, alerts, control states -------------------------
    void applicationDidFinishLaunching();
    void appendLog(const QString& text);
    // The same as appendLog for each text, in order, in one insertion.
    void appendLogEntries(const QStringList& texts);
    void clearLog();
    // The view keeps this many entries; older ones are only in the run's log file.
    int maxLogEntries = 200000;
    int keptRunLogs = 20;
    // Where each run's full log is written (the support folder's "logs").
    QString logFolder() const;  // throws AppError
    void openLogFolder();
    void showAlert(const QString& title, const QString& message);
    // Without a value: busy while a job runs.
    void updateControlStates(std::optional<bool> running = std::nullopt);
    const std::optional<QString>& lastAudioURL() const { return m_lastAudioURL; }
    // Every assignment shows the path in the audio field and updates the controls.
    void setLastAudioURL(std::optional<QString> url);
    // What Separate works on: the audio file, or several for a queue.
    const QStringList& audioFiles() const { return m_audioFiles; }
    // One file is setLastAudioURL; several show as a list and the last is lastAudioURL.
    void setAudioFiles(const QStringList& files);
    void restoreFolder();
    // Downloads, or home when there is none.
    QString defaultSaveFolder() const;
    // The shown save folder, or the default one (then shown) when none is
    // set; true when it was defaulted.
    std::pair<QString, bool> saveFolderForRun();
    QSettings& settings() { return *m_settings; }
    const Toolbox& tools() const { return m_tools; }
    const PlatformProfile& profile() const { return m_profile; }

    // ---- ui: window, menu, choosers ----------------------------------------
    void buildMenu();
    void buildUI();
    void chooseFolder();
    void chooseAudioFile();
    // What the choosers do with a picked path (the dialogs themselves are modal).
    void applyChosenFolder(const QString& path);
    void applyChosenAudioFile(const QString& path);
    void applyChosenAudioFiles(const QStringList& paths);
    static QStringList audioChooserNameFilters();
    // A drop onto the window: its URLs, or without any the words of its text.
    void handleDrop(const QList<QUrl>& urls, const QString& text);
    // Opens a folder in the desktop's file manager; tests replace it.
    std::function<bool(const QUrl&)> openUrl;
    void openSaveFolder();
    // The stems folder of the last separation that finished in this session.
    const QString& lastStemsFolder() const { return m_lastStemsFolder; }
    void showStems();

    // ---- jobs: running, stopping, quitting ---------------------------------
    // Starts the job (or queues it behind the running one) and shows what it emits.
    void runJob(Job* job);
    Job* currentJob() const { return m_jobs.current(); }
    bool isBusy() const { return m_jobs.isBusy(); }
    // The Stop button.
    void stopCurrentJob();
    // Quit from the menu or the window: asks first while a job runs.
    void requestQuit();
    // Stops the job, waits for it (5 s at most) and quits, without asking.
    void stopAndQuit();
    bool isQuitting() const { return m_quitting; }
    int quitCount = 0;  // how often the application was told to quit
    // How long a quit waits for the stopped job before it is deleted.
    int quitWaitMs = 5000;

    // ---- process: child environment and output sink ------------------------
    QProcessEnvironment processEnvironment() const;
    void appendProcessOutput(const QString& text);

    // ---- ytdlp: location, status, installer --------------------------------
    QString appSupportURL() const;  // throws AppError
    QStringList managedYtDlpCandidateURLs() const;
    QStringList ytDlpCandidateURLs() const;
    // Where a deno may already be: the support folder, then the places yt-dlp is looked for.
    QStringList denoCandidateURLs() const;
    bool isExecutableOrCanMakeExecutable(const QString& path) const;
    std::optional<QString> findManagedYtDlp() const;
    void markYtDlpInstalled(const QString& path);
    void updateYtDlpInstallStatus();
    void appendYtDlpInstallStatusLog();
    void installYtDlp();
    // Downloads the managed yt-dlp and Deno again; without a managed yt-dlp, installYtDlp.
    void updateYtDlp();

    // ---- download ---------------------------------------------------------
    void startDownload();
    // The child environment with the support folder first on PATH.
    QProcessEnvironment downloadEnvironment() const;
    // The browser yt-dlp reads cookies from, as the Cookies menu names it; empty for none.
    QString cookiesBrowser() const { return m_cookiesBrowser; }
    void setCookiesBrowser(const QString& browser);
    void restoreCookiesBrowser();

    // ---- demucs: the managed environment -----------------------------------
    QString managedDemucsPythonURL() const;
    // The child environment of the managed Python: scrubbed of the user's own
    // Python set-up, with the model weights in the support folder's "torch".
    QProcessEnvironment demucsEnvironment() const;
    // Titles Install Demucs from the compatibility probe, in the background.
    void refreshDemucsStatus();
    bool isCheckingDemucs() const;
    void installDemucs();

    // ---- separation -------------------------------------------------------
    void startSeparation();
    // The Format menu and the mode row, as the next separation uses them.
    separation::ExportFormat exportFormat() const { return m_exportFormat; }
    void setExportFormat(separation::ExportFormat format);
    bool bestQuality() const;
    void setBestQuality(bool on);
    SeparationMode currentMode() const;
    // Encodes at once; 0 means one per core.
    int maxParallelEncodes = 0;

    // ---- fields -----------------------------------------------------------
    const QString appVersion = applicationVersion();
    QMainWindow* const window;
    QLineEdit* const urlField;
    QLineEdit* const folderField;
    QLineEdit* const audioField;
    QPushButton* const chooseButton;
    QPushButton* const chooseAudioButton;
    QPushButton* const installButton;
    QPushButton* const installDemucsButton;
    QPushButton* const startButton;
    QPushButton* const separateButton;
    SegmentedControl* const stemModeControl;
    QPlainTextEdit* const logView;
    // The status row under the log.
    QLabel* const stageLabel;
    QProgressBar* const progressBar;
    QPushButton* const stopButton;
    QPushButton* const showStemsButton;  // left of Stop
    QCheckBox* const separateAfterDownloadBox;  // on the mode row
    // Menu items (set by buildMenu).
    QAction* updateYtDlpAction = nullptr;
    QList<QAction*> cookiesActions;  // "No Cookies" first, then the profile's browsers
    QList<QAction*> formatActions;   // AAC, FLAC, WAV
    QAction* bestQualityAction = nullptr;
    std::optional<QString> installedYtDlpURL;

    // What the last alert showed, for tests and for scripted checks.
    struct AlertRecord {
        QString title;
        QString message;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
    };
    std::optional<AlertRecord> lastAlert;
    int alertCount = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onJobStarted(Job* job);
    void onJobFinished(Job* job, Job::Outcome outcome);
    void dropOldLogEntries();
    void showStage(const QString& text);
    void showProgress(int percent);
    void showIdleStatus();
    void quitNow();
    // The guards of both installer actions; they log why not.
    bool ytDlpInstallerMayStart();
    void runYtDlpInstaller(bool update);
    void showCookiesBrowser();
    void restoreSeparationChoices();
    void showExportFormat();
    // Connects what a job that saves stems reports.
    void watchStems(Job* job);
    // The managed interpreter, or nothing after logging how to install it.
    std::optional<QString> installedDemucsPython();
    // A window-modal box of the window, deleted when closed; title above text.
    QMessageBox* messageBox(QMessageBox::Icon icon, const QString& title, const QString& text);
    // A window-modal question with acceptLabel and Cancel (the default);
    // answer gets whether acceptLabel was chosen. Returns at once.
    QMessageBox* askQuestion(const QString& title, const QString& text, const QString& acceptLabel,
                             std::function<void(bool)> answer);

    PlatformProfile m_profile;
    std::unique_ptr<QSettings> m_settings;
    Toolbox m_tools;
    std::optional<QString> m_lastAudioURL;
    // Disabling the focused control moves the focus on; both ends are kept so
    // the focus can go back when the run is over.
    QPointer<QWidget> m_focusBeforeBusy;
    QPointer<QWidget> m_focusWhileBusy;
    JobQueue m_jobs;
    logs::RunLogFile m_runLog;
    bool m_logEntriesDropped = false;
    // A job's alert waits for its end, so it comes after the controls are back.
    std::optional<std::pair<QString, QString>> m_pendingAlert;
    QPointer<ChildProcess> m_demucsProbe;
    QPointer<QThread> m_leftoverSweep;
    QPointer<QMessageBox> m_quitQuestion;
    QTimer* m_quitTimer = nullptr;
    bool m_quitting = false;
    bool m_stopping = false;  // Stop was pressed; the job has not ended yet
    bool m_demucsCheckPending = false;  // the launch check waits for the window
    QString m_cookiesBrowser;
    QStringList m_audioFiles;
    QString m_lastStemsFolder;
    separation::ExportFormat m_exportFormat = separation::ExportFormat::aac;
};
