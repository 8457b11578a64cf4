// The controller's services: the log, alerts, control states, the current
// audio file and the restored save folder.
#include "support/AppSupport.h"
#include "gui/widgets/SegmentedControl.h"

#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

struct ControllerTest : ::testing::Test {
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
};

std::vector<bool> enabledStates(const TestApp& app)
{
    return {app.startButton->isEnabled(),       app.chooseButton->isEnabled(),
            app.chooseAudioButton->isEnabled(), app.installButton->isEnabled(),
            app.installDemucsButton->isEnabled(), app.stemModeControl->isEnabled(),
            app.separateButton->isEnabled(),    app.urlField->isEnabled(),
            !app.stopButton->isEnabled()};
}

// A job that still reports while it is deleted, as one whose child ends then would.
class LastWordsJob : public HoldJob {
public:
    ~LastWordsJob() override
    {
        emit stage(QStringLiteral("ending"));
        emit logEntries({QStringLiteral("last words")});
    }
};

}  // namespace

TEST_F(ControllerTest, LogEntriesAreTrimmedLinesWithoutLeadingNewline)
{
    auto app = makeApp(profile, false);
    app->appendLog(QStringLiteral("  first \n"));
    EXPECT_EQ(logText(*app), QStringLiteral("first"));

    app->appendLog(QStringLiteral(" \n\t \r\n "));  // only blanks: nothing at all
    EXPECT_EQ(logText(*app), QStringLiteral("first"));

    app->appendLog(QStringLiteral("\nline one\nline two\n"));  // inner breaks remain
    app->appendLog(QStringLiteral("last"));
    EXPECT_EQ(logText(*app), QStringLiteral("first\nline one\nline two\nlast"));

    app->clearLog();
    app->appendLog(QStringLiteral("after clear"));
    EXPECT_EQ(logText(*app), QStringLiteral("after clear"));
}

TEST_F(ControllerTest, LogFollowsItsEndButBlankTextDoesNotScroll)
{
    auto app = makeApp(profile, true);
    for (int i = 0; i < 200; ++i)
        app->appendLog(QStringLiteral("entry %1").arg(i));
    pumpEvents(50);
    QScrollBar* bar = app->logView->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    bar->setValue(0);
    app->appendLog(QStringLiteral("   "));
    EXPECT_EQ(bar->value(), 0);
}

TEST_F(ControllerTest, ControlStatesFollowTheBusyValue)
{
    auto app = makeApp(profile, false);
    using V = std::vector<bool>;

    app->updateControlStates();
    // Idle, no audio, no yt-dlp recorded: only Separate (and Stop) are off.
    EXPECT_EQ(enabledStates(*app), (V{true, true, true, true, true, true, false, true, true}));

    app->markYtDlpInstalled(QStringLiteral("/x/yt-dlp"));
    app->setLastAudioURL(QStringLiteral("/x/song.m4a"));
    EXPECT_EQ(enabledStates(*app), (V{true, true, true, false, true, true, true, true, true}));

    // A running job disables every start control and enables Stop ...
    app->runJob(new HoldJob);
    EXPECT_TRUE(app->isBusy());
    EXPECT_EQ(enabledStates(*app), V(9, false));
    app->updateControlStates();
    EXPECT_EQ(enabledStates(*app), V(9, false));

    // ... while an explicit value wins over the queue.
    app->updateYtDlpInstallStatus();  // finds none
    app->updateControlStates(false);
    EXPECT_EQ(enabledStates(*app), V(9, true));
    app->updateControlStates(true);
    EXPECT_EQ(enabledStates(*app), V(9, false));

    // Stopping ends the job; everything comes back.
    app->stopCurrentJob();
    EXPECT_FALSE(app->isBusy());
    EXPECT_EQ(enabledStates(*app), (V{true, true, true, true, true, true, true, true, true}));

    // The fields that only show paths are never touched.
    EXPECT_TRUE(app->folderField->isEnabled());
    EXPECT_TRUE(app->audioField->isEnabled());
    EXPECT_TRUE(app->logView->isEnabled());
}

TEST_F(ControllerTest, CurrentAudioFileIsMirroredAndGatesSeparate)
{
    auto app = makeApp(profile, false);
    app->setLastAudioURL(QStringLiteral("/music/Take Five [abc].m4a"));
    EXPECT_EQ(app->audioField->text(), QStringLiteral("/music/Take Five [abc].m4a"));
    EXPECT_TRUE(app->separateButton->isEnabled());

    app->setLastAudioURL(std::nullopt);
    EXPECT_EQ(app->audioField->text(), QString());
    EXPECT_FALSE(app->separateButton->isEnabled());
    EXPECT_FALSE(app->lastAudioURL().has_value());
}

TEST_F(ControllerTest, SaveFolderIsRestoredFromSettingsThenDownloadsThenHome)
{
    {
        auto app = makeApp(profile, false);
        app->restoreFolder();
        EXPECT_EQ(app->folderField->text(), profile.downloadsDir);
    }
    {
        QSettings(profile.settingsFile, QSettings::IniFormat)
            .setValue(QStringLiteral("saveFolder"), QStringLiteral("/no/such/folder"));
        auto app = makeApp(profile, false);
        app->restoreFolder();
        EXPECT_EQ(app->folderField->text(), QStringLiteral("/no/such/folder"));  // not checked
    }
    // Values that would put files in the working directory, or that yt-dlp
    // could not report back, fall back to Downloads.
    const QVariant unusable[] = {QString(), QStringList{"/a", "/b"}, QStringList{"/a"}, QString("relative/music"),
                                 QString("/music/line\nbreak"), QString("/music/tab\there")};
    for (const QVariant& value : unusable) {
        SCOPED_TRACE(value.toStringList().join('|').toStdString());
        QSettings(profile.settingsFile, QSettings::IniFormat).setValue(QStringLiteral("saveFolder"), value);
        auto app = makeApp(profile, false);
        app->folderField->setText(QStringLiteral("previous"));
        app->restoreFolder();
        EXPECT_EQ(app->folderField->text(), profile.downloadsDir);
    }
    {
        QSettings(profile.settingsFile, QSettings::IniFormat).remove(QStringLiteral("saveFolder"));
        PlatformProfile noDownloads = profile;
        noDownloads.downloadsDir.clear();
        auto app = makeApp(noDownloads, false);
        app->restoreFolder();
        EXPECT_EQ(app->folderField->text(), profile.homeDir);
    }
}

TEST_F(ControllerTest, AlertIconFollowsItsSeverity)
{
    auto app = makeApp(profile, true);
    const auto shownIcon = [&] { return app->window->findChildren<QMessageBox*>().last()->icon(); };
    // The title says nothing about the icon: an error without "fail" in it is a warning.
    app->showAlert({Alert::Severity::warning, QStringLiteral("Save Folder Unusable"), QStringLiteral("x")});
    ASSERT_TRUE(app->lastAlert.has_value());
    EXPECT_EQ(shownIcon(), QMessageBox::Warning);
    EXPECT_EQ(app->lastAlert->text, QStringLiteral("x"));

    app->showAlert({Alert::Severity::information, QStringLiteral("Download Complete"), QStringLiteral("done")});
    EXPECT_EQ(shownIcon(), QMessageBox::Information);
    EXPECT_EQ(app->alertCount, 2);

    // The alert is a window-modal sheet that does not wait for the user.
    auto boxes = app->window->findChildren<QMessageBox*>();
    ASSERT_FALSE(boxes.isEmpty());
    EXPECT_EQ(boxes.last()->windowModality(), Qt::WindowModal);
    EXPECT_EQ(boxes.last()->standardButtons(), QMessageBox::Ok);
    EXPECT_EQ(boxes.last()->text(), QStringLiteral("Download Complete"));
    EXPECT_EQ(boxes.last()->informativeText(), QStringLiteral("done"));

    // Nothing is shown while the window is hidden.
    app->window->hide();
    app->showAlert({Alert::Severity::information, QStringLiteral("Hidden"), QStringLiteral("dropped")});
    EXPECT_EQ(app->alertCount, 2);
    EXPECT_EQ(app->lastAlert->title, QStringLiteral("Download Complete"));
}

TEST_F(ControllerTest, LaunchShowsTheWindowAndTheOpeningLog)
{
    auto app = makeApp(profile, true);
    EXPECT_TRUE(app->window->isVisible());
    EXPECT_EQ(app->window->windowTitle(), QStringLiteral("Stemloft 0.1.7-soundfile-backend"));
    EXPECT_EQ(app->stemModeControl->selectedSegment(), 2);
    EXPECT_EQ(app->installDemucsButton->text(), QStringLiteral("Install Demucs"));
    EXPECT_EQ(app->folderField->text(), profile.downloadsDir);

    const QStringList lines = logLines(*app);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], QStringLiteral("Ready. Version: 0.1.7-soundfile-backend"));
    EXPECT_EQ(lines[1], QStringLiteral("yt-dlp was not detected. Click Install yt-dlp if downloads fail."));
    EXPECT_EQ(lines[2], QStringLiteral("Paste a YouTube URL, choose a save folder, then click Start."));
    EXPECT_EQ(lines[3], QStringLiteral("After download, install Demucs once and click Separate to create compressed stems."));
    EXPECT_FALSE(app->separateButton->isEnabled());
}

namespace {

// Ends a while after it is asked to stop, reporting a stage on the way, as
// a child given its grace period does.
class SlowStopJob : public Job {
public:
    void start() override { emit stage(QStringLiteral("Working 10%")); }
    void stop() override
    {
        QTimer::singleShot(100, this, [this] {
            emit stage(QStringLiteral("Working 11%"));
            finishWith(Outcome::stopped);
        });
    }
};

}  // namespace

TEST_F(ControllerTest, StopSaysStoppingUntilTheJobHasEnded)
{
    auto app = makeApp(profile, true);
    app->runJob(new SlowStopJob);
    EXPECT_EQ(app->stageLabel->text(), QStringLiteral("Working 10%"));
    EXPECT_TRUE(app->stopButton->isEnabled());
    app->stopButton->click();
    EXPECT_EQ(app->stageLabel->text(), QStringLiteral("Stopping..."));
    EXPECT_FALSE(app->stopButton->isEnabled());
    EXPECT_FALSE(app->startButton->isEnabled());
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(app->stageLabel->text(), QStringLiteral("Ready"));
    EXPECT_TRUE(app->startButton->isEnabled());

    // The next job starts with a live Stop button again.
    app->runJob(new SlowStopJob);
    EXPECT_TRUE(app->stopButton->isEnabled());
    EXPECT_EQ(app->stageLabel->text(), QStringLiteral("Working 10%"));
    app->stopCurrentJob();
    ASSERT_TRUE(waitIdle(*app));
}

TEST_F(ControllerTest, JobsGoBeforeTheWindowAndNothingTheySayOnTheWayReachesIt)
{
    auto app = makeApp(profile, true);
    bool deleted = false;
    auto* job = new LastWordsJob;
    QObject::connect(job, &QObject::destroyed, [&] { deleted = true; });
    app->runJob(job);
    ASSERT_TRUE(app->isBusy());
    // A window deleted first would take these words (AddressSanitizer reports it).
    app.reset();
    EXPECT_TRUE(deleted);
}
