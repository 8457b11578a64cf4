#pragma once

#include "jobs/Job.h"
#include "separation/ExportFormat.h"
#include "separation/SeparationMode.h"

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class LogView;
class PathField;
class QAction;
class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class SegmentedControl;
class UrlField;

// What the controls may do now; the controller works it out, the window
// enables its controls from it.
struct ControlStates {
    bool busy = false;
    bool stopping = false;  // Stop was pressed; the job has not ended yet
    bool ytDlpInstalled = false;
    bool hasAudio = false;  // something for Separate to work on
    bool hasStems = false;  // a separation finished in this session
};

// The main window: the rows of fields and buttons, the log, the status row
// and the menus. It emits what the user asks for and shows what it is told;
// it runs nothing itself. Every control has an object name, the same as its
// member's, for scripted checks.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(const QString& version, const QStringList& cookieBrowsers, QWidget* parent = nullptr);

    // ---- what the user typed and chose ------------------------------------
    QString urlText() const;
    void setUrlText(const QString& text);
    QString saveFolderText() const;
    void showSaveFolder(const QString& path);
    // The audio field: one path, or a summary of several with all of them in the tool tip.
    void showAudioFiles(const QString& text, const QString& toolTip);
    bool separateAfterDownload() const;
    void showSeparateAfterDownload(bool on);
    // The mode row and the Best Quality item.
    SeparationMode separationMode() const;
    void showBestQuality(bool on);
    void showExportFormat(separation::ExportFormat format);
    // Empty for No Cookies.
    void showCookiesBrowser(const QString& browser);
    void setYtDlpButton(const QString& title, const QString& toolTip);
    void setYtDlpButtonTitle(const QString& title);
    void setDemucsButtonTitle(const QString& title);

    // ---- what it shows -----------------------------------------------------
    void appendLogEntries(const QStringList& entries);
    void clearLog();
    void showStage(const QString& text);
    // 0 to 100, or -1 for a busy indicator.
    void showProgress(int percent);
    void showIdleStatus();
    // Enables the controls. Disabling the focused control moves the focus on;
    // when the run is over it goes back, unless the user moved it meanwhile.
    void showControlStates(const ControlStates& states);
    // A window-modal box, only while the window is shown; returns at once.
    void showAlert(const Alert& alert);
    // A window-modal question with acceptLabel and Cancel (the default);
    // answer gets whether acceptLabel was chosen. Returns at once, with the
    // box as a handle for the two calls below; it is deleted when closed.
    QObject* askQuestion(const QString& title, const QString& text, const QString& acceptLabel,
                         std::function<void(bool)> answer);
    // "Choose a Recording" for labels, window-modal; answer gets the chosen
    // row, or -1 for Cancel. A handle like askQuestion's.
    QObject* chooseRecording(const QStringList& labels, std::function<void(int)> answer);
    void raiseQuestion(QObject* question);
    // Closing counts as Cancel.
    void closeQuestion(QObject* question);
    // While set, closing the window asks to quit instead (quitRequested).
    void setCloseAsksToQuit(bool on) { m_closeAsksToQuit = on; }
    // Centred on the screen, shown and raised.
    void present();
    // The file name patterns of the audio chooser: every audio and video type.
    static QStringList audioChooserNameFilters();

signals:
    void downloadRequested();
    void separateRequested();
    void stopRequested();
    void installYtDlpRequested();
    void updateYtDlpRequested();
    void installDemucsRequested();
    void showStemsRequested();
    // Play Stems: the mixer on the folder Show Stems would show.
    void playStemsRequested();
    // Open Stems...: a folder to open in the mixer.
    void stemsFolderChosen(const QString& path);
    void openSaveFolderRequested();
    void openLogFolderRequested();
    void quitRequested();
    void folderChosen(const QString& path);
    void audioFilesChosen(const QStringList& paths);
    // A drop onto the window: its URLs, and its text.
    void dropped(const QList<QUrl>& urls, const QString& text);
    void cookiesBrowserChosen(const QString& browser);
    void exportFormatChosen(separation::ExportFormat format);
    void bestQualityChosen(bool on);
    void separateAfterDownloadChosen(bool on);
    // The window is on screen for the first time.
    void firstExposed();
    // After an alert was put on screen.
    void alertShown(const Alert& alert);

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenu(const QStringList& cookieBrowsers);
    void buildRows();
    void chooseFolder();
    void chooseAudioFiles();
    void chooseStemsFolder();
    // The links of the URL field, one a line, in a window-modal editor.
    void editLinks();

    UrlField* const m_urlField;
    PathField* const m_folderField;
    PathField* const m_audioField;
    QPushButton* const m_startButton;
    QPushButton* const m_editLinksButton;  // shown while the URL field holds several links
    QPushButton* const m_installButton;
    QPushButton* const m_chooseButton;
    QPushButton* const m_chooseAudioButton;
    QCheckBox* const m_separateAfterDownloadBox;
    SegmentedControl* const m_stemModeControl;
    QPushButton* const m_installDemucsButton;
    QPushButton* const m_separateButton;
    LogView* const m_logView;
    QLabel* const m_stageLabel;
    QProgressBar* const m_progressBar;
    QPushButton* const m_playStemsButton;
    QPushButton* const m_showStemsButton;
    QPushButton* const m_stopButton;
    QAction* m_updateYtDlpAction = nullptr;
    QList<QAction*> m_cookiesActions;  // "No Cookies" first, then the profile's browsers
    QList<QAction*> m_formatActions;   // in the order of separation::ExportFormat
    QAction* m_bestQualityAction = nullptr;
    QPointer<QWidget> m_focusBeforeBusy;
    QPointer<QWidget> m_focusWhileBusy;
    bool m_closeAsksToQuit = false;
};
