#include "support/TestSupport.h"
#include "download/DownloadOutput.h"
#include "process/ProcessRunner.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

struct DownloadFixture : ::testing::Test {
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    QString music = ws.makeDir("Music");
    QString tool = ws.path("pathbin/yt-dlp");

    // The fake yt-dlp records its arguments; "$9" is the output template.
    void writeTool(const QString& body)
    {
        ws.writeScript("pathbin/yt-dlp", recordArgsLines(ws.path("args")) + "\ndir=$(dirname \"$9\")\n" + body);
    }
    std::unique_ptr<AppDelegate> start(const QString& folder, const QString& url = "https://example.com/v")
    {
        auto app = makeDelegate(profile);
        app->folderField->setText(folder);
        app->urlField->setText(url);
        app->startDownload();
        return app;
    }
    static bool finished(const AppDelegate& app) { return !app.process && logLines(app).size() > 3; }
};

}  // namespace

TEST_F(DownloadFixture, RunsTheToolWithTheFixedArgumentsAndReportsCompletion)
{
    writeTool("echo '[download]  50.0% of 9.21KiB'");
    const QString folder = ws.path("Music  ");  // trailing blanks reach the tool (the log trims)
    ws.writeFile("earlier.m4a", "x");
    auto app = makeDelegate(profile);
    app->setLastAudioURL(ws.path("earlier.m4a"));
    app->folderField->setText(folder);
    app->urlField->setText("  --batch-file=/etc/passwd \n");
    app->startDownload();
    EXPECT_FALSE(app->lastAudioURL().has_value());
    EXPECT_TRUE(app->audioField->text().isEmpty());
    EXPECT_FALSE(app->startButton->isEnabled());
    EXPECT_FALSE(app->urlField->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return finished(*app); }));

    EXPECT_EQ(readRecordedArgs(ws.path("args")),
              (QStringList{"--newline", "--progress", "--no-playlist", "--print", "after_move:filepath", "-f",
                           "bestaudio[ext=m4a]/bestaudio", "-o", folder + "/%(title).120B [%(id)s].%(ext)s", "--",
                           "--batch-file=/etc/passwd"}));
    EXPECT_EQ(logLines(*app), (QStringList{"Using: " + tool, "Saving to: " + folder.trimmed(), "Starting...",
                                           "[download]  50.0% of 9.21KiB", "Done."}));
    ASSERT_TRUE(app->lastAlert.has_value());
    EXPECT_EQ(app->lastAlert->title, "Download Complete");
    EXPECT_EQ(app->lastAlert->message, "Reference audio was saved. You can now separate stems.");
    EXPECT_TRUE(app->startButton->isEnabled());
    EXPECT_TRUE(app->urlField->isEnabled());
    EXPECT_FALSE(app->separateButton->isEnabled());
}

TEST_F(DownloadFixture, ThePrintedFileBecomesTheCurrentAudio)
{
    // The path arrives in two reads and with blanks around it.
    writeTool("f=\"$dir/Song [abc].m4a\"\nprintf 'x' > \"$f\"\n"
              "printf '  %s' \"$dir/Song [\"\nsleep 0.3\nprintf 'abc].m4a  \\r\\n'\necho after");
    auto app = start(music + "/");
    EXPECT_TRUE(app->process);
    ASSERT_TRUE(waitUntil([&] { return finished(*app); }));
    const QString file = music + "/Song [abc].m4a";
    EXPECT_EQ(logLines(*app).mid(3),
              (QStringList{"Downloaded file: " + file, "after", "Last audio: " + file, "Done."}));
    EXPECT_EQ(app->lastAudioURL(), file);
    EXPECT_EQ(app->audioField->text(), file);
    EXPECT_TRUE(app->separateButton->isEnabled());
    EXPECT_EQ(app->lastAlert->title, "Download Complete");
}

TEST_F(DownloadFixture, OnlyExistingFilesInsideTheSaveFolderAreTaken)
{
    const QString sibling = ws.writeFile("Music2/x.m4a", "x");
    const QString inside = ws.writeFile("Music/sub/y.m4a", "x");
    EXPECT_EQ(download::downloadedFilePath(sibling, music), std::nullopt);
    EXPECT_EQ(download::downloadedFilePath(music + "/../Music2/x.m4a", music), std::nullopt);
    EXPECT_EQ(download::downloadedFilePath(music, music), std::nullopt);
    EXPECT_EQ(download::downloadedFilePath(music + "/missing.m4a", music), std::nullopt);
    EXPECT_EQ(download::downloadedFilePath(inside, music + "//"), inside);
    EXPECT_EQ(download::downloadedFilePath(inside, "/"), inside);

    auto app = makeDelegate(profile, false);
    app->appendDownloadOutput(sibling + "\r" + music + "/missing.m4a\na\r\nb\n\n  \n", music);
    EXPECT_EQ(logLines(*app), (QStringList{sibling, music + "/missing.m4a", "a", "b"}));
    EXPECT_FALSE(app->lastAudioURL().has_value());
}

TEST_F(DownloadFixture, NonZeroExitAndSignalsAreFailures)
{
    const std::pair<QString, QString> cases[] = {{"echo 'ERROR: Unsupported URL'\nexit 3", "Failed with exit code 3."},
                                                 {"kill -9 $$", "Failed with exit code 9."}};
    for (const auto& [body, message] : cases) {
        SCOPED_TRACE(message.toStdString());
        writeTool(body);
        auto app = start(music);
        ASSERT_TRUE(waitUntil([&] { return finished(*app); }));
        EXPECT_EQ(logLines(*app).last(), message);
        ASSERT_TRUE(app->lastAlert.has_value());
        EXPECT_EQ(app->lastAlert->title, "Download Failed");
        EXPECT_EQ(app->lastAlert->message, message);
        EXPECT_EQ(app->lastAlert->icon, QMessageBox::Warning);
        EXPECT_TRUE(app->startButton->isEnabled());
        EXPECT_FALSE(app->separateButton->isEnabled());
    }
}

TEST_F(DownloadFixture, GuardsLeaveTheLogAsItWas)
{
    auto app = makeDelegate(profile);
    const QStringList before = logLines(*app);
    app->urlField->setText(" \n ");
    app->startDownload();
    EXPECT_EQ(logLines(*app), before + QStringList{"Enter a YouTube URL first."});

    app->urlField->setText("https://example.com/v");
    app->startDownload();  // no yt-dlp anywhere
    EXPECT_EQ(logLines(*app),
              (before + QStringList{"Enter a YouTube URL first.", "yt-dlp was not found.",
                                    "Click Install yt-dlp, then try again."}));

    writeTool("exit 0");
    ProcessRun busy;
    app->process = &busy;
    app->startDownload();
    EXPECT_EQ(logLines(*app).last(), "A download is already running.");
    EXPECT_EQ(logLines(*app).size(), before.size() + 4);
    EXPECT_FALSE(QFile::exists(ws.path("args")));
    EXPECT_EQ(app->alertCount, 0);
    app->process = nullptr;
}

TEST_F(DownloadFixture, PrefersTheRecordedToolAndReportsAStartFailure)
{
    writeTool("exit 0");
    const QString recorded = ws.writeScript("opt/yt-dlp", recordArgsLines(ws.path("recorded-args")));
    auto app = makeDelegate(profile);
    app->installedYtDlpURL = recorded;
    app->urlField->setText("https://example.com/v");
    app->startDownload();
    ASSERT_TRUE(waitUntil([&] { return finished(*app); }));
    EXPECT_EQ(logLines(*app).first(), "Using: " + recorded);
    EXPECT_TRUE(QFile::exists(ws.path("recorded-args")));
    EXPECT_FALSE(QFile::exists(ws.path("args")));

    // Gone: the search falls back to the other places; the field stays.
    QFile::remove(recorded);
    ws.writeFile("pathbin/yt-dlp", "#!/nonexistent/interpreter\n");
    app->startDownload();
    const QStringList lines = logLines(*app);
    EXPECT_EQ(lines.first(), "Using: " + tool);
    EXPECT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines.last().startsWith("Failed to start yt-dlp: ")) << lines.last().toStdString();
    EXPECT_EQ(app->installedYtDlpURL, recorded);
    EXPECT_FALSE(app->process);
    EXPECT_TRUE(app->startButton->isEnabled());
    EXPECT_EQ(app->alertCount, 1);  // only the earlier completion
}
