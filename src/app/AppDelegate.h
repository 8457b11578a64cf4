#pragma once

#include "app/PlatformProfile.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QLineEdit;
class QMainWindow;
class QPlainTextEdit;
class QPushButton;
class QSettings;
class QTimer;
class QWidget;
class ProcessRun;
class SegmentedControl;

// The one controller: owns the window and its controls, the single slot for a
// running child process and the state of the long-running operations. Its
// member functions live in the folder of their subsystem.
class AppDelegate : public QObject {
public:
    // The stem layout chosen by the mode control.
    struct SeparationMode {
        enum Kind { fourStems, sixStems };
        Kind kind = sixStems;

        // Segment 0 gives four stems; any other value (none selected included) six.
        static SeparationMode fromSegment(int selectedSegment);
        QStringList stems() const;
        QString demucsModel() const;
        QString modeLabel() const;
        bool operator==(const SeparationMode& other) const { return kind == other.kind; }
    };

    explicit AppDelegate(PlatformProfile profile = PlatformProfile::current(),
                         QObject* parent = nullptr);
    ~AppDelegate() override;

    // ---- app: launch, log, alerts, control states -------------------------
    void applicationDidFinishLaunching();
    void appendLog(const QString& text);
    // The same as appendLog for each text, in order, in one insertion.
    void appendLogEntries(const QStringList& texts);
    void clearLog();
    void showAlert(const QString& title, const QString& message);
    void updateControlStates(std::optional<bool> running = std::nullopt);
    const std::optional<QString>& lastAudioURL() const { return m_lastAudioURL; }
    // Every assignment shows the path in the audio field and updates the controls.
    void setLastAudioURL(std::optional<QString> url);
    void restoreFolder();
    QSettings& settings() { return *m_settings; }
    const PlatformProfile& profile() const { return m_profile; }

    // ---- ui: window, menu, choosers ----------------------------------------
    void buildMenu();
    void buildUI();
    void chooseFolder();
    void chooseAudioFile();
    // What the choosers do with a picked path (the dialogs themselves are modal).
    void applyChosenFolder(const QString& path);
    void applyChosenAudioFile(const QString& path);
    static QStringList audioChooserNameFilters();

    // ---- process: child environment and output sink ------------------------
    QProcessEnvironment processEnvironment() const;
    void appendProcessOutput(const QString& text);
    // A long run whose output goes to sink; completion gets the exit status.
    // Both hold this controller weakly.
    ProcessRun* makeLongRun(const QString& program, const QStringList& arguments,
                            std::function<void(AppDelegate&, const QString&)> sink,
                            std::function<void(AppDelegate*, int)> completion);

    // ---- ytdlp: location, status, installer --------------------------------
    QString appSupportURL() const;  // throws AppError
    QStringList managedYtDlpCandidateURLs() const;
    QStringList ytDlpCandidateURLs() const;
    bool isExecutableOrCanMakeExecutable(const QString& path) const;
    std::optional<QString> findManagedYtDlp() const;
    void markYtDlpInstalled(const QString& path);
    void updateYtDlpInstallStatus();
    void appendYtDlpInstallStatusLog();
    void installYtDlp();
    void startProgressTimer(int intervalMs, std::function<void(AppDelegate&)> tick);
    void startInstallProgressTimer();
    void appendInstallProgress();
    void finishYtDlpInstall(const QString& temporaryURL, const QString& destination, int exitCode);
    void removeQuarantineAttribute(const QString& path);
    void stopInstallProgressTimer();

    // ---- download ---------------------------------------------------------
    void startDownload();
    void appendDownloadOutput(const QString& text, const QString& saveFolder);

    // ---- demucs: Python discovery and the managed environment --------------
    std::optional<QString> findSystemPython3() const;
    bool isUsablePythonForDemucs(const QString& path) const;
    QString pythonVersionDescription(const QString& path) const;
    QString managedDemucsPythonURL() const;
    bool hasManagedDemucsInstall() const;
    void installDemucs();
    void startDemucsInstallProgressTimer();

    // ---- separation -------------------------------------------------------
    void startSeparation();
    QString prepareDemucsInput(const QString& audioURL, const QString& outputRoot);  // throws
    void convertAudioToWav(const QString& source, const QString& destination) const;  // throws
    void convertWavToM4a(const QString& source, const QString& destination) const;    // throws
    void finishSeparation(const QString& outputRoot, const QString& audioURL, SeparationMode mode);
    QString saveDemucsOutput(const QString& outputRoot, const QString& audioURL,
                             SeparationMode mode);  // throws

    // ---- fields -----------------------------------------------------------
    const QString appVersion = QStringLiteral("0.1.7-soundfile-backend");
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
    QPointer<ProcessRun> process;
    bool isInstalling = false;
    bool isInstallingDemucs = false;
    bool isSeparating = false;
    QTimer* installProgressTimer = nullptr;
    std::optional<QString> installTemporaryURL;
    std::optional<QString> installedYtDlpURL;

    // What the last alert showed, for tests and for scripted checks.
    struct AlertRecord {
        QString title;
        QString message;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
    };
    std::optional<AlertRecord> lastAlert;
    int alertCount = 0;

private:
    PlatformProfile m_profile;
    std::unique_ptr<QSettings> m_settings;
    std::optional<QString> m_lastAudioURL;
    // Disabling the focused control moves the focus on; both ends are kept so
    // the focus can go back when the run is over.
    QPointer<QWidget> m_focusBeforeBusy;
    QPointer<QWidget> m_focusWhileBusy;
};
