// The log view keeps the end of a long run with short lines; every run's
// whole log goes to a file of its own in the support folder.
#include "logs/RunLog.h"
#include "support/AppSupport.h"
#include "base/Version.h"

#include <QDesktopServices>
#include <QDir>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

// Logs its entries and succeeds.
class EntriesJob : public Job {
public:
    explicit EntriesJob(QStringList entries) : m_entries(std::move(entries)) {}
    void start() override
    {
        emit logCleared();
        emit logEntries(m_entries);
        finishWith(Outcome::succeeded);
    }
    void stop() override {}

private:
    QStringList m_entries;
};

QStringList runLogs(const TestApp& app)
{
    return QDir(app.logFolder()).entryList({"*.log"}, QDir::Files, QDir::Name);
}

QString readRunLog(const TestApp& app, const QString& name)
{
    QFile f(app.logFolder() + "/" + name);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Receives what QDesktopServices would hand to the desktop.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

}  // namespace

TEST(RunLog, DisplayEntryShortensAtTheLimitWithoutSplittingACharacter)
{
    const QString exact(4096, 'a');
    EXPECT_EQ(logs::displayEntry(exact), exact);
    EXPECT_EQ(logs::displayEntry(exact + "bc"), exact + " … (2 more characters)");
    // A character outside the BMP straddling the limit stays whole, after the cut.
    const QString pair = QString::fromUcs4(U"\U0001F3B8");
    EXPECT_EQ(logs::displayEntry(QString(4095, 'a') + pair + "z"), QString(4095, 'a') + " … (3 more characters)");
}

TEST(RunLog, ViewKeepsTheNewestEntriesAndTheFileKeepsEverything)
{
    TempWorkspace ws;
    auto app = makeApp(makeTestProfile(ws));
    app->logView->setMaxEntries(5);
    const QString longLine = QString(4096, 'x') + QString(10000, 'y');
    QStringList entries;
    for (int i = 1; i <= 7; ++i)
        entries << QStringLiteral("line %1").arg(i);
    entries << longLine;
    app->runJob(new EntriesJob(entries));
    ASSERT_TRUE(waitIdle(*app));
    app->appendLogEntries({"line 9", "line 10"});

    const QString note = "(earlier lines are in the log file)";
    EXPECT_EQ(logLines(*app), (QStringList{note, "line 6", "line 7", QString(4096, 'x') + " … (10000 more characters)",
                                           "line 9", "line 10"}));
    const QStringList files = runLogs(*app);
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(files.first().endsWith(" Task.log")) << files.first().toStdString();
    const QStringList written = readRunLog(*app, files.first()).split('\n');
    EXPECT_TRUE(written.first().startsWith("Stemloft " + applicationVersion()));
    EXPECT_EQ(written.mid(1), entries + QStringList{""});  // the job's end closed the file

    // The next run starts with a clear view and a file of its own.
    app->runJob(new EntriesJob({"second run"}));
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app), QStringList{"second run"});
    EXPECT_EQ(runLogs(*app).size(), 2);
}

TEST(RunLog, OnlyTheNewestRunLogsAreKept)
{
    TempWorkspace ws;
    auto app = makeApp(makeTestProfile(ws));
    app->keptRunLogs = 3;
    for (int i = 1; i <= 5; ++i) {
        app->runJob(new EntriesJob({QStringLiteral("run %1").arg(i)}));
        ASSERT_TRUE(waitIdle(*app));
    }
    QStringList kept;
    for (const QString& name : runLogs(*app))
        kept << readRunLog(*app, name).section('\n', 1, 1);
    EXPECT_EQ(kept, (QStringList{"run 3", "run 4", "run 5"}));
}

TEST(RunLog, OpenLogFolderShowsTheFolderInTheFileManager)
{
    TempWorkspace ws;
    auto app = makeApp(makeTestProfile(ws));
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    QMenu* appMenu = app->window->menuBar()->actions().first()->menu();
    QAction* item = nullptr;
    for (QAction* action : appMenu->actions())
        if (action->text() == "Open Log Folder")
            item = action;
    ASSERT_TRUE(item);
    // Reachable from the keyboard: Alt+S opens the menu that holds it.
    QApplication::setActiveWindow(app->window);
    app->urlField->setFocus();
    QTest::keyClick(app->urlField, Qt::Key_S, Qt::AltModifier);
    EXPECT_TRUE(waitUntil([&] { return appMenu->isVisible(); }, 2000));
    appMenu->close();
    item->trigger();
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls.first().toLocalFile(), app->logFolder());
    EXPECT_TRUE(QFileInfo(app->logFolder()).isDir());
}

#include "run_log_test.moc"
