// Quitting while a job runs: the question, Stop and Quit, a job that will not
// end in time, and the termination signals. No child may outlive the app.
#include "base/QuitSignals.h"
#include "support/AppSupport.h"

#include <QAction>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>

#include <csignal>
#include <gtest/gtest.h>

namespace {

struct QuitTest : ::testing::Test {
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    QString pidFile = ws.path("pid");
    QString partial;

    // A download whose yt-dlp leaves a partial file and then waits; extra
    // runs before the wait.
    std::unique_ptr<TestApp> startDownload(const QString& extra = QString())
    {
        const QString music = ws.makeDir("Music");
        QFile::remove(pidFile);
        // As yt-dlp does: the partial file goes to the "-P temp:" folder, relative to the save folder.
        ws.writeScript("pathbin/yt-dlp",
                       QStringLiteral("%1\np=\"$PWD/${9#temp:}/Song [id].m4a.part\"\n: > \"$p\"\n"
                                      "echo \"$p\" > %2.partial\necho $$ > %2\nwhile :; do sleep 0.1; done")
                           .arg(extra, shellQuote(pidFile)));
        auto app = makeApp(profile);
        app->folderField->setText(music);
        app->urlField->setText("https://example.com/v");
        app->startDownload();
        EXPECT_TRUE(waitUntil([&] { return !ws.readFile("pid").isEmpty(); }));
        partial = QString::fromUtf8(ws.readFile("pid.partial").trimmed());
        EXPECT_TRUE(partial.startsWith(music + "/.stemloft-download-")) << partial.toStdString();
        EXPECT_TRUE(QFile::exists(partial));
        return app;
    }
    qint64 childPid() const { return ws.readFile("pid").trimmed().toLongLong(); }
};

QAction* quitAction(const TestApp& app)
{
    for (QAction* menu : app.window->menuBar()->actions()) {
        for (QAction* action : menu->menu()->actions()) {
            if (action->text() == QStringLiteral("Quit Stemloft"))
                return action;
        }
    }
    return nullptr;
}

QMessageBox* quitQuestion(const TestApp& app)
{
    return visibleMessageBox(app, QStringLiteral("Quit Stemloft?"));
}

QPushButton* button(QMessageBox* box, const QString& text)
{
    return messageBoxButton(box, text);
}

}  // namespace

TEST_F(QuitTest, IdleQuitsAtOnceWithoutAsking)
{
    auto app = makeApp(profile);
    quitAction(*app)->trigger();
    EXPECT_EQ(app->quitCount, 1);
    EXPECT_EQ(quitQuestion(*app), nullptr);
}

TEST_F(QuitTest, RunningJobAsksFirstAndStopAndQuitLeavesNothingBehind)
{
    auto app = startDownload();
    const qint64 pid = childPid();
    const int alerts = app->alertCount;

    quitAction(*app)->trigger();
    QMessageBox* box = quitQuestion(*app);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->informativeText(), "A task is still running. Stop it and quit?");
    ASSERT_NE(button(box, "Stop and Quit"), nullptr);
    ASSERT_NE(button(box, "Cancel"), nullptr);
    EXPECT_EQ(app->quitCount, 0);

    // Cancel: the job goes on.
    button(box, "Cancel")->click();
    pumpEvents(50);
    EXPECT_EQ(quitQuestion(*app), nullptr);
    EXPECT_TRUE(app->isBusy());
    EXPECT_TRUE(processAlive(pid));

    // Closing the window asks the same and keeps the window.
    app->window->close();
    EXPECT_TRUE(app->window->isVisible());
    box = quitQuestion(*app);
    ASSERT_NE(box, nullptr);
    button(box, "Stop and Quit")->click();
    ASSERT_TRUE(waitUntil([&] { return app->quitCount == 1; }));
    EXPECT_FALSE(app->isBusy());
    EXPECT_FALSE(processAlive(pid));
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(partial).path())) << "the run's own folder goes with its partial file";
    EXPECT_EQ(logLines(*app).last(), "Stopped.");
    EXPECT_EQ(app->alertCount, alerts);
}

TEST_F(QuitTest, AJobThatOutlastsTheWaitIsDeletedWithItsChild)
{
    // yt-dlp ignores SIGTERM, so only the kill after the grace period ends it.
    auto app = startDownload(QStringLiteral("trap '' TERM"));
    const qint64 pid = childPid();
    app->quitWaitMs = 300;
    app->stopAndQuit();
    EXPECT_EQ(quitQuestion(*app), nullptr);
    ASSERT_TRUE(waitUntil([&] { return app->quitCount == 1; }, 2000));
    EXPECT_TRUE(app->isBusy());  // quit came before the job's end
    app.reset();                 // what the program's exit does
    EXPECT_FALSE(processAlive(pid));
    EXPECT_FALSE(QFile::exists(partial));
}

TEST_F(QuitTest, TerminationSignalsStopAndQuitWithoutAsking)
{
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        auto app = startDownload();
        const qint64 pid = childPid();
        QuitSignals quitSignals;
        QObject::connect(&quitSignals, &QuitSignals::received, app.get(), &AppController::stopAndQuit);
        ::raise(signalNumber);
        ASSERT_TRUE(waitUntil([&] { return app->quitCount == 1; }));
        EXPECT_EQ(quitQuestion(*app), nullptr);
        EXPECT_FALSE(processAlive(pid));
        EXPECT_FALSE(QFile::exists(partial));
        EXPECT_EQ(logLines(*app).last(), "Stopped.");
    }
}
