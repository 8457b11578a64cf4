#pragma once

#include "support/TestSupport.h"

#include "gui/AppController.h"
#include "gui/LogView.h"
#include "gui/MainWindow.h"
#include "gui/widgets/SegmentedControl.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>

#include <memory>
#include <optional>

// The controller as the tests drive it: its window's controls, found by
// their object names as a script would find them, and what the window and
// the controller reported (alerts shown, quits).
class TestApp : public AppController {
public:
    explicit TestApp(const PlatformProfile& profile);

    MainWindow* const window;
    QLineEdit* const urlField;
    QLineEdit* const folderField;
    QLineEdit* const audioField;
    QPushButton* const startButton;
    QPushButton* const installButton;
    QPushButton* const chooseButton;
    QPushButton* const chooseAudioButton;
    QCheckBox* const separateAfterDownloadBox;
    SegmentedControl* const stemModeControl;
    QPushButton* const installDemucsButton;
    QPushButton* const separateButton;
    LogView* const logView;
    QLabel* const stageLabel;
    QProgressBar* const progressBar;
    QPushButton* const showStemsButton;
    QPushButton* const stopButton;
    QAction* const updateYtDlpAction;
    QAction* const bestQualityAction;
    QList<QAction*> cookiesActions;  // "No Cookies" first
    QList<QAction*> formatActions;   // AAC, FLAC, WAV

    std::optional<Alert> lastAlert;
    int alertCount = 0;
    int quitCount = 0;
};

// A controller on a test profile, launched (window shown) when asked.
std::unique_ptr<TestApp> makeApp(const PlatformProfile& profile, bool launch = true);

// Waits until no job runs (the jobs' own ends included).
bool waitIdle(const AppController& app, int timeoutMs = 15000);

// The shown message box of the window with this title, or null.
QMessageBox* visibleMessageBox(const TestApp& app, const QString& title);
QPushButton* messageBoxButton(QMessageBox* box, const QString& text);

QStringList logLines(const TestApp& app);
QString logText(const TestApp& app);

// The settings file as another program would see it: the keys as stored.
std::unique_ptr<QSettings> storedSettings(const TestApp& app);
