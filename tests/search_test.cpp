// Words in the URL field and playlist links, through the window, with a fake
// yt-dlp that lists and "downloads".
#include "support/AppSupport.h"

#include <QApplication>
#include <QDialog>
#include <QListWidget>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// The fake yt-dlp appends each run's last argument to "runs", prefixed with
// "list " for a listing. A search for "nothing" finds nothing; any other
// search finds two recordings. A download of a link containing "pl-" reports
// a playlist of entries "<link>/e1"…, as many as the number after "pl-", and
// a listing of it lists them; other links "download" SAVE/<last part>.m4a.
class Search : public ::testing::Test {
protected:
    void SetUp() override
    {
        profile = makeTestProfile(ws);
        app = makeApp(profile);
        save = ws.makeDir("save");
        app->folderField->setText(save);
        const QString runs = shellQuote(ws.path("runs"));
        ws.writeScript("pathbin/yt-dlp",
                       "for a; do url=$a; done\n"
                       "case \" $* \" in *' --flat-playlist '*)\n"
                       "  echo \"list $url\" >> " + runs + "\n"
                       "  case \"$url\" in\n"
                       "  ytsearch5:nothing*) ;;\n"
                       "  ytsearch5:*)\n"
                       "    echo '{\"id\": \"one\", \"title\": \"First Song\", \"channel\": \"Band\", \"duration\": 225, "
                       "\"url\": \"https://www.youtube.com/watch?v=one\"}'\n"
                       "    echo 'WARNING: [youtube] a warning'\n"
                       "    echo '{\"id\": \"two\", \"title\": \"Second Song\", \"duration\": 3723, "
                       "\"url\": \"https://www.youtube.com/watch?v=two\"}';;\n"
                       "  *) n=${url##*pl-}; n=${n%%[!0-9]*}; i=0\n"
                       "    while [ $i -lt $n ]; do i=$((i+1)); "
                       "echo \"{\\\"id\\\": \\\"e$i\\\", \\\"title\\\": \\\"Entry $i\\\", \\\"url\\\": \\\"$url/e$i\\\"}\"; done;;\n"
                       "  esac; exit 0;;\n"
                       "esac\n"
                       "echo \"$url\" >> " + runs + "\n"
                       "case \"$url\" in *pl-*/e*) ;; *pl-*) echo '[stemloft] playlist'; exit 0;; esac\n"
                       "f=" + shellQuote(save) + "/$(basename \"$url\").m4a\nprintf audio > \"$f\"\necho \"$f\"\n");
    }
    QStringList runs() const { return QString::fromUtf8(ws.readFile("runs")).split('\n', Qt::SkipEmptyParts); }
    QDialog* chooser() const
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<QDialog*>(widget);
                dialog && dialog->objectName() == "recordingChooser" && dialog->isVisible())
                return dialog;
        }
        return nullptr;
    }

    TempWorkspace ws;
    PlatformProfile profile;
    QString save;
    std::unique_ptr<TestApp> app;
};

}  // namespace

TEST_F(Search, WordsOfferFiveResultsAndTheChosenOneIsDownloadedByKeyboard)
{
    app->urlField->setText("  brubeck\n take five ");
    app->startButton->click();
    ASSERT_TRUE(waitUntil([&] { return chooser() != nullptr; }));
    QDialog* dialog = chooser();
    EXPECT_EQ(dialog->windowTitle(), "Choose a Recording");
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    auto* list = dialog->findChild<QListWidget*>("recordingList");
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(0)->text(), QString::fromUtf8("First Song \u2014 Band (3:45)"));
    EXPECT_EQ(list->item(1)->text(), "Second Song (1:02:03)");
    EXPECT_EQ(list->item(1)->data(Qt::AccessibleTextRole).toString(), list->item(1)->text());
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_EQ(runs(), QStringList{"list ytsearch5:brubeck take five"});
    EXPECT_EQ(logLines(*app).first(), "Searching YouTube for: brubeck take five");

    // Down, then Enter: the second result, downloaded once, as its link would be.
    dialog->activateWindow();
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Return);
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(chooser(), nullptr);
    EXPECT_EQ(runs().mid(1), QStringList{"https://www.youtube.com/watch?v=two"});
    const QStringList log = logLines(*app);
    EXPECT_TRUE(log.contains("WARNING: [youtube] a warning"));
    EXPECT_TRUE(log.contains("Found: Second Song (https://www.youtube.com/watch?v=two)")) << logText(*app).toStdString();
    EXPECT_EQ(app->lastAudioURL(), save + "/watch?v=two.m4a");
    EXPECT_EQ(app->lastAlert->title, "Download Complete");

    // Escape: the run ends quietly, nothing downloaded, no alert.
    const int alerts = app->alertCount;
    app->startButton->click();
    ASSERT_TRUE(waitUntil([&] { return chooser() != nullptr; }));
    QTest::keyClick(chooser()->findChild<QListWidget*>("recordingList"), Qt::Key_Escape);
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "No recording was chosen.");
    EXPECT_EQ(runs().size(), 3);
    EXPECT_EQ(app->alertCount, alerts);

    // Nothing found: a failure of that item, said so.
    app->urlField->setText("nothing at all");
    app->startButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "Nothing was found for: nothing at all");
    EXPECT_EQ(app->lastAlert->title, "Download Failed");
    EXPECT_EQ(app->lastAlert->text, "Nothing was found for: nothing at all");

    // Stop while the chooser waits closes it and ends the run.
    app->urlField->setText("take five");
    app->startButton->click();
    ASSERT_TRUE(waitUntil([&] { return chooser() != nullptr; }));
    app->stopButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_TRUE(waitUntil([&] { return chooser() == nullptr; }));
    EXPECT_EQ(logLines(*app).last(), "Stopped.");
    EXPECT_EQ(runs().size(), 5);
}

TEST_F(Search, APlaylistBecomesItsEntriesAndALongOneIsConfirmedFirst)
{
    // A YouTube playlist link is listed without a download run; a page yt-dlp
    // finds to be a playlist is listed after one. Entries come in their place.
    app->urlField->setText("https://example.com/one https://www.youtube.com/playlist?list=pl-2 "
                           "https://example.com/page-pl-1");
    app->startButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(runs(), (QStringList{"https://example.com/one", "list https://www.youtube.com/playlist?list=pl-2",
                                   "https://www.youtube.com/playlist?list=pl-2/e1",
                                   "https://www.youtube.com/playlist?list=pl-2/e2", "https://example.com/page-pl-1",
                                   "list https://example.com/page-pl-1", "https://example.com/page-pl-1/e1"}));
    const QStringList log = logLines(*app);
    EXPECT_EQ(log.filter(QRegularExpression("^\\[\\d/\\d\\] ")),
              (QStringList{"[1/3] https://example.com/one", "[2/3] https://www.youtube.com/playlist?list=pl-2",
                           "[2/4] Entry 1", "[3/4] Entry 2", "[4/4] https://example.com/page-pl-1",
                           "[4/4] Entry 1"}));
    EXPECT_EQ(log.last(), "Finished 4 items: 4 succeeded, 0 failed.");
    EXPECT_EQ(app->alertCount, 1);
    EXPECT_EQ(app->lastAlert->title, "Batch Complete");

    // Over 25 entries the window asks; Cancel ends the run quietly.
    QFile::remove(ws.path("runs"));
    app->urlField->setText("https://www.youtube.com/playlist?list=pl-26");
    app->startButton->click();
    QMessageBox* box = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (box = visibleMessageBox(*app, "Download 26 Recordings?")) != nullptr; }));
    ASSERT_NE(messageBoxButton(box, "Download"), nullptr);
    messageBoxButton(box, "Cancel")->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "The playlist was not downloaded.");
    EXPECT_EQ(runs(), QStringList{"list https://www.youtube.com/playlist?list=pl-26"});
    EXPECT_EQ(app->alertCount, 1);

    // Download: every entry in turn, as one queue.
    app->startButton->click();
    ASSERT_TRUE(waitUntil([&] { return (box = visibleMessageBox(*app, "Download 26 Recordings?")) != nullptr; }));
    messageBoxButton(box, "Download")->click();
    ASSERT_TRUE(waitIdle(*app, 60000));
    EXPECT_EQ(runs().size(), 2 + 26);
    EXPECT_TRUE(logLines(*app).contains("[26/26] Entry 26"));
    EXPECT_EQ(logLines(*app).last(), "Finished 26 items: 26 succeeded, 0 failed.");

    // 25 are taken without asking.
    app->urlField->setText("https://www.youtube.com/playlist?list=pl-25");
    app->startButton->click();
    ASSERT_TRUE(waitIdle(*app, 60000));
    EXPECT_EQ(logLines(*app).last(), "Finished 25 items: 25 succeeded, 0 failed.");
}
