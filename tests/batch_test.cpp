#include "support/AppSupport.h"
#include "batch/BatchJob.h"
#include "batch/Inputs.h"
#include "separation_fixtures.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>

#include <gtest/gtest.h>

TEST(UrlList, SeveralLinksAreSplitCleanedOfRepeatsAndWordsThatAreNoLink)
{
    const batch::UrlList list = batch::parseUrlList(
        "\n  https://youtu.be/a\n\n\thttps://www.youtube.com/watch?v=b  HTTPS://YouTu.be/a/\n"
        "see: https://youtu.be/A ftp://host/x www.youtube.com/watch?v=c https://youtu.be/a\r\n");
    EXPECT_EQ(list.urls, (QStringList{"https://youtu.be/a", "https://www.youtube.com/watch?v=b", "https://youtu.be/A"}));
    EXPECT_EQ(list.rejected, (QStringList{"see:", "ftp://host/x", "www.youtube.com/watch?v=c"}));

    // A text without links is a search; one of yt-dlp's own goes to it whole.
    EXPECT_EQ(batch::parseUrlList("  ytsearch:take five \n").urls, QStringList{"ytsearch:take five"});
    EXPECT_EQ(batch::parseUrlList(" scsearch10:take five").urls, QStringList{"scsearch10:take five"});
    const batch::UrlList words = batch::parseUrlList("  Dave Brubeck -\n Take Five \n");
    EXPECT_TRUE(words.urls.isEmpty());
    EXPECT_EQ(words.search, "Dave Brubeck - Take Five");
    EXPECT_EQ(batch::parseUrlList("--batch-file=/etc/passwd").search, "--batch-file=/etc/passwd");
    EXPECT_EQ(batch::parseUrlList("research: take five").search, "research: take five");
    EXPECT_TRUE(batch::parseUrlList(" \n\t ").urls.isEmpty());
    EXPECT_FALSE(batch::isWebLink("https://"));
    EXPECT_FALSE(batch::isWebLink("https://exa mple.com/x"));
}

namespace {

// A launched controller with a fake yt-dlp, the stand-in Demucs and a fake
// converter. The fake yt-dlp "downloads" a link into SAVE/<last part>.m4a;
// a link containing "bad" fails the way an unavailable video does, one
// containing "hold" waits while the file "hold-download" exists.
class Batch : public ::testing::Test {
protected:
    void SetUp() override
    {
        profile = makeTestProfile(ws);
        sepfix::writeFakeConverter(ws, profile.converterPath, ws.path("conv-args"), ws.root());
        app = makeApp(profile);
        ASSERT_TRUE(waitUntil([&] { return !app->isCheckingDemucs(); }));
        save = ws.makeDir("save");
        app->folderField->setText(save);
        standIn.argsFile = ws.path("demucs-args");
        standIn.probe = "echo check >> " + shellQuote(ws.path("checks")) + "; echo 'stemloft-device: cpu'; exit 0";
        // Each run's input, in order.
        standIn.beforeExit = "echo \"$in\" >> " + shellQuote(ws.path("inputs"));
        sepfix::writeStandInDemucs(ws, app->tools(), standIn);
        sepfix::provideWeights(app->tools());
        ws.writeScript("pathbin/yt-dlp",
                       "for a; do url=$a; done\n"
                       "case \"$url\" in *bad*) echo 'ERROR: [youtube] bad: Video unavailable' >&2; exit 1;; esac\n"
                       "case \"$url\" in *hold*) echo $$ > " + shellQuote(ws.path("pid-download")) +
                           "; while [ -e " + shellQuote(ws.path("hold-download")) + " ]; do sleep 0.02; done;; esac\n"
                           "f=" + shellQuote(save) + "/$(basename \"$url\").m4a\nprintf audio > \"$f\"\necho \"$f\"\n");
        app->openUrl = [this](const QUrl& url) {
            opened << url.toLocalFile();
            return true;
        };
    }
    QStringList lines(const QString& file) const
    {
        return QString::fromUtf8(ws.readFile(file)).split('\n', Qt::SkipEmptyParts);
    }

    TempWorkspace ws;
    PlatformProfile profile;
    QString save;
    sepfix::StandIn standIn;
    std::unique_ptr<TestApp> app;
    QStringList opened;
};

}  // namespace

TEST_F(Batch, SeparateAfterDownloadGoesFromTheLinkToTheStemsInOneRun)
{
    // Not before Demucs is there: minutes of downloading would lead nowhere.
    QFile::rename(app->tools().managedDemucsPython(), ws.path("python-aside"));
    app->separateAfterDownloadBox->setChecked(true);
    app->urlField->setText("https://example.com/take-five");
    app->startButton->click();
    EXPECT_FALSE(app->isBusy());
    EXPECT_EQ(logLines(*app).mid(logLines(*app).size() - 2),
              (QStringList{"Demucs is not installed.", "Click Install Demucs, then try again."}));
    EXPECT_FALSE(QFileInfo::exists(save + "/take-five.m4a"));
    QFile::rename(ws.path("python-aside"), app->tools().managedDemucsPython());

    EXPECT_FALSE(app->showStemsButton->isEnabled());
    app->startButton->click();
    ASSERT_TRUE(waitIdle(*app));
    const QString audio = save + "/take-five.m4a";
    const QString stems = save + "/stems/take-five";
    const QStringList log = logLines(*app);
    // One log: the download's lines stay above the separation's.
    EXPECT_EQ(log.first(), "Using: " + ws.path("pathbin/yt-dlp"));
    EXPECT_TRUE(log.contains("Downloaded file: " + audio));
    EXPECT_EQ(log.mid(log.indexOf("Done.") + 1, 2),
              (QStringList{"Separating 6stems with htdemucs_6s...", "Input: " + audio}));
    EXPECT_EQ(log.last(), "Saved stems: " + stems);
    EXPECT_EQ(lines("inputs").size(), 1);
    // Only the separation's alert: no "Download Complete" in between.
    EXPECT_EQ(app->alertCount, 1);
    EXPECT_EQ(app->lastAlert->title, "Stem Separation Complete");
    EXPECT_EQ(app->lastAudioURL(), audio);
    EXPECT_TRUE(storedSettings(*app)->value("separateAfterDownload").toBool());

    ASSERT_TRUE(app->showStemsButton->isEnabled());
    app->showStemsButton->click();
    EXPECT_EQ(opened, QStringList{stems});
}

TEST_F(Batch, AQueueRunsInOrderChecksOnceAndEndsWithASummary)
{
    app->separateAfterDownloadBox->setChecked(true);
    app->urlField->setText("https://example.com/one\n\nhttps://example.com/bad\nnot-a-link\n"
                           "https://example.com/one\nhttps://example.com/three\n");
    app->startButton->click();
    ASSERT_TRUE(waitIdle(*app, 30000));
    const QStringList log = logLines(*app);
    EXPECT_EQ(log.first(), "Not a link: not-a-link");
    EXPECT_EQ(log.filter(QRegularExpression("^\\[\\d/\\d\\] ")),
              (QStringList{"[1/3] https://example.com/one", "[2/3] https://example.com/bad",
                           "[3/3] https://example.com/three"}));
    const QStringList summary{"Finished 3 items: 2 succeeded, 1 failed.",
                              "Failed: https://example.com/bad ([youtube] bad: Video unavailable)"};
    EXPECT_EQ(log.mid(log.size() - 2), summary);
    EXPECT_EQ(log.filter(QRegularExpression("^Input: ")),
              (QStringList{"Input: " + save + "/one.m4a", "Input: " + save + "/three.m4a"}));
    EXPECT_EQ(lines("inputs").size(), 2);
    // The environment was checked for the first separation only; its device holds for both.
    EXPECT_EQ(lines("checks").size(), 1);
    EXPECT_EQ(log.filter("Device: CPU").size(), 2);
    EXPECT_EQ(app->alertCount, 1);
    EXPECT_EQ(app->lastAlert->title, "Batch Finished With Failures");
    EXPECT_EQ(app->lastAlert->text, summary.join('\n'));
    // What was downloaded is what Separate works on next.
    EXPECT_EQ(app->audioFiles(), (QStringList{save + "/one.m4a", save + "/three.m4a"}));
    EXPECT_EQ(app->audioField->text(), "2 files: one.m4a, three.m4a");
    EXPECT_EQ(app->lastStemsFolder(), save + "/stems/three");

    // Without failures the end is "Batch Complete".
    app->separateAfterDownloadBox->setChecked(false);
    app->urlField->setText("https://example.com/four https://example.com/five");
    app->startButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "Finished 2 items: 2 succeeded, 0 failed.");
    EXPECT_EQ(app->lastAlert->title, "Batch Complete");
    EXPECT_EQ(lines("inputs").size(), 2);
    EXPECT_EQ(app->audioFiles(), (QStringList{save + "/four.m4a", save + "/five.m4a"}));
}

TEST_F(Batch, StopEndsTheCurrentItemAndDropsTheRest)
{
    // Stopped while the second of four downloads runs: its partial work goes,
    // the first item's file stays, nothing is alerted.
    ws.writeFile("hold-download", {});
    app->urlField->setText("https://example.com/one https://example.com/hold https://example.com/three "
                           "https://example.com/four");
    app->startButton->click();
    ASSERT_TRUE(waitUntil([&] { return sepfix::recordedPid(ws.path("pid-download")) > 0; }));
    EXPECT_EQ(app->stageLabel->text(), "[2/4] Downloading");
    app->stopButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).mid(logLines(*app).size() - 2),
              (QStringList{"Stopped.", "Stopped. 2 items were not started."}));
    EXPECT_EQ(app->alertCount, 0);
    EXPECT_FALSE(processAlive(sepfix::recordedPid(ws.path("pid-download"))));
    EXPECT_EQ(app->audioFiles(), QStringList{save + "/one.m4a"});

    // The same between a download and its separation, and within a queue of files.
    app->setAudioFiles({ws.writeFile("a.wav", "RIFF"), ws.writeFile("b.wav", "RIFF"), ws.writeFile("c.wav", "RIFF")});
    const QString demucsPid = ws.path("pid-demucs"), hold = ws.path("hold-demucs");
    ws.writeFile("hold-demucs", {});
    standIn.beforeExit = sepfix::holdLines(demucsPid, hold);
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    app->separateButton->click();
    ASSERT_TRUE(waitUntil([&] { return sepfix::recordedPid(demucsPid) > 0; }));
    app->stopButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "Stopped. 2 items were not started.");
    EXPECT_FALSE(processAlive(sepfix::recordedPid(demucsPid)));
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(save + "/stems/a"));
    EXPECT_TRUE(childProcesses(QCoreApplication::applicationPid()).isEmpty());
}

TEST_F(Batch, DropsBringFilesAndLinksAndNameWhatTheyCannotUse)
{
    const QString wav = ws.writeFile("in/Take Five.wav", "RIFF");
    const QString movie = ws.writeFile("in/clip.mp4", "movie");
    const QString notes = ws.writeFile("in/notes.txt", "text");
    const QString folder = ws.makeDir("in/album");
    auto drop = [&](QMimeData* data) {
        // Onto the log, which takes no drops itself: the window does.
        QWidget* target = app->logView->viewport();
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent dropped(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &dropped);
        EXPECT_TRUE(dropped.isAccepted());
        delete data;
    };
    auto* files = new QMimeData;
    files->setUrls({QUrl::fromLocalFile(wav), QUrl::fromLocalFile(notes), QUrl::fromLocalFile(movie),
                    QUrl::fromLocalFile(folder), QUrl("https://youtu.be/x"), QUrl("mailto:me@example.com")});
    app->urlField->setText("https://old.example/v");
    drop(files);
    EXPECT_EQ(logLines(*app).mid(logLines(*app).size() - 5),
              (QStringList{"Not an audio file or a link: notes.txt", "Not an audio file or a link: album",
                           "Not an audio file or a link: mailto:me@example.com", "Audio file: " + wav,
                           "Audio file: " + movie}));
    EXPECT_EQ(app->audioFiles(), (QStringList{wav, movie}));
    EXPECT_EQ(app->urlField->text(), "https://youtu.be/x");

    // Several dropped files are a queue for Separate.
    app->separateButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).first(), "[1/2] Take Five.wav");
    EXPECT_EQ(app->lastAlert->title, "Batch Complete");
    EXPECT_TRUE(QFileInfo::exists(save + "/stems/Take Five/manifest.json"));
    EXPECT_TRUE(QFileInfo::exists(save + "/stems/clip/manifest.json"));

    // Links dragged as text; nothing changes while a job runs.
    auto* text = new QMimeData;
    text->setText("https://youtu.be/y\nhttps://youtu.be/z");
    drop(text);
    EXPECT_EQ(app->urlField->text(), "https://youtu.be/y https://youtu.be/z");
    app->runJob(new HoldJob);
    auto* later = new QMimeData;
    later->setUrls({QUrl::fromLocalFile(wav)});
    drop(later);
    EXPECT_EQ(logLines(*app).last(), "Another task is already running.");
    EXPECT_EQ(app->audioFiles(), (QStringList{wav, movie}));
    app->stopCurrentJob();
}
