#include "support/AppSupport.h"

#include <QMenu>

namespace {

template <typename T>
T* control(MainWindow& window, const char* name)
{
    T* found = window.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("the window has no %s", name);
    return found;
}

QList<QAction*> menuItems(MainWindow& window, const char* menu)
{
    QList<QAction*> items;
    for (QAction* action : control<QMenu>(window, menu)->actions()) {
        if (!action->isSeparator() && action->isCheckable())
            items << action;
    }
    return items;
}

}  // namespace

TestApp::TestApp(const PlatformProfile& profile)
    : AppController(profile),
      window(&mainWindow()),
      urlField(control<QLineEdit>(*window, "urlField")),
      folderField(control<QLineEdit>(*window, "folderField")),
      audioField(control<QLineEdit>(*window, "audioField")),
      startButton(control<QPushButton>(*window, "startButton")),
      installButton(control<QPushButton>(*window, "installButton")),
      chooseButton(control<QPushButton>(*window, "chooseButton")),
      chooseAudioButton(control<QPushButton>(*window, "chooseAudioButton")),
      separateAfterDownloadBox(control<QCheckBox>(*window, "separateAfterDownloadBox")),
      stemModeControl(control<SegmentedControl>(*window, "stemModeControl")),
      installDemucsButton(control<QPushButton>(*window, "installDemucsButton")),
      separateButton(control<QPushButton>(*window, "separateButton")),
      logView(control<LogView>(*window, "logView")),
      stageLabel(control<QLabel>(*window, "stageLabel")),
      progressBar(control<QProgressBar>(*window, "progressBar")),
      showStemsButton(control<QPushButton>(*window, "showStemsButton")),
      stopButton(control<QPushButton>(*window, "stopButton")),
      updateYtDlpAction(control<QAction>(*window, "updateYtDlpAction")),
      bestQualityAction(control<QAction>(*window, "bestQualityAction")),
      cookiesActions(menuItems(*window, "cookiesMenu")),
      formatActions(menuItems(*window, "formatMenu"))
{
    formatActions.removeAll(bestQualityAction);
    QObject::connect(window, &MainWindow::alertShown, this, [this](const Alert& alert) {
        lastAlert = alert;
        ++alertCount;
    });
    QObject::connect(this, &AppController::readyToQuit, this, [this] { ++quitCount; });
}

std::unique_ptr<TestApp> makeApp(const PlatformProfile& profile, bool launch)
{
    auto app = std::make_unique<TestApp>(profile);
    if (launch)
        app->applicationDidFinishLaunching();
    return app;
}

bool waitIdle(const AppController& app, int timeoutMs)
{
    return waitUntil([&] { return !app.isBusy(); }, timeoutMs);
}

QMessageBox* visibleMessageBox(const TestApp& app, const QString& title)
{
    for (QMessageBox* box : app.window->findChildren<QMessageBox*>()) {
        if (box->isVisible() && box->windowTitle() == title)
            return box;
    }
    return nullptr;
}

QPushButton* messageBoxButton(QMessageBox* box, const QString& text)
{
    for (QAbstractButton* b : box->buttons()) {
        if (b->text() == text)
            return qobject_cast<QPushButton*>(b);
    }
    return nullptr;
}

QString logText(const TestApp& app)
{
    return app.logView->toPlainText();
}

QStringList logLines(const TestApp& app)
{
    return app.logView->entries();
}

std::unique_ptr<QSettings> storedSettings(const TestApp& app)
{
    return std::make_unique<QSettings>(app.profile().settingsFile, QSettings::IniFormat);
}
