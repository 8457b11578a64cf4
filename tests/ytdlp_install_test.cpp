#include "support/TestSupport.h"
#include "process/ProcessRunner.h"

#include <QFile>
#include <QPushButton>
#include <QSettings>

#include <gtest/gtest.h>

namespace {

struct InstallFixture : ::testing::Test {
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    QString support = ws.path("home/.local/share/Stemloft");
    QString destination = support + "/yt-dlp";
    QString temporary = support + "/yt-dlp.download";

    // The fake curl records its arguments; "$7" is the file after "-o".
    void writeCurl(const QString& body)
    {
        ws.writeScript("tools/curl", recordArgsLines(ws.path("curl.args")) + "\n" + body);
    }
    std::unique_ptr<AppDelegate> launchAndInstall()
    {
        auto app = makeDelegate(profile);
        app->installYtDlp();
        return app;
    }
    static bool finished(const AppDelegate& app) { return !app.isInstalling && !app.process; }
};

}  // namespace

TEST_F(InstallFixture, DownloadsWithCurlAndPutsTheToolInPlace)
{
    ws.writeFile("home/.local/share/Stemloft/yt-dlp.download", "leftover");
    writeCurl("[ -e \"$7\" ] && touch " + shellQuote(ws.path("leftover-seen")) +
              "\nprintf 'new tool' > \"$7\"\nchmod 600 \"$7\"");
    auto app = launchAndInstall();
    EXPECT_TRUE(app->isInstalling);
    EXPECT_FALSE(app->startButton->isEnabled());
    EXPECT_EQ(app->installButton->text(), "Installing...");
    ASSERT_TRUE(waitUntil([&] { return finished(*app); }));

    const QString url = profile.ytDlpDownloadURL();
    EXPECT_TRUE(url.startsWith("https://github.com/yt-dlp/yt-dlp/releases/latest/download/yt-dlp_"));
    EXPECT_EQ(readRecordedArgs(ws.path("curl.args")),
              (QStringList{"-L", "--fail", "--show-error", "--silent", url, "-o", temporary}));
    EXPECT_FALSE(QFile::exists(ws.path("leftover-seen")));
    EXPECT_EQ(ws.readFile(destination), "new tool");
    EXPECT_EQ(modeOf(destination), 0755u);
    EXPECT_FALSE(QFile::exists(temporary));
    EXPECT_EQ(logLines(*app), (QStringList{"Downloading yt-dlp...", url,
                                           "Progress will appear here while the file downloads.",
                                           "Installed yt-dlp.", destination}));
    EXPECT_EQ(app->installedYtDlpURL, destination);
    EXPECT_EQ(app->settings().value("ytDlpPath").toString(), destination);
    EXPECT_EQ(app->installButton->text(), "yt-dlp Installed");
    EXPECT_FALSE(app->installButton->isEnabled());
    EXPECT_TRUE(app->startButton->isEnabled());
    EXPECT_EQ(app->installProgressTimer, nullptr);
    EXPECT_FALSE(app->installTemporaryURL.has_value());
    ASSERT_TRUE(app->lastAlert.has_value());
    EXPECT_EQ(app->lastAlert->title, "yt-dlp Installed");
    EXPECT_EQ(app->lastAlert->message, "You can now download reference audio.");
}

TEST_F(InstallFixture, CurlFailuresAreReportedAndLeaveInstallOffered)
{
    struct Case {
        QString body;
        QString message;
        bool partialLeft;
    };
    const Case cases[] = {
        {"printf 'part' > \"$7\"\necho 'curl: (22) The requested URL returned error: 404' >&2\nexit 22",
         "Download failed with exit code 22.", true},
        {"exit 0", "Download failed: yt-dlp file was not created.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.toStdString());
        QFile::remove(temporary);
        writeCurl(c.body);
        auto app = launchAndInstall();
        ASSERT_TRUE(waitUntil([&] { return finished(*app); }));
        EXPECT_EQ(logLines(*app).last(), c.message);
        EXPECT_EQ(logLines(*app).contains("curl: (22) The requested URL returned error: 404"), c.partialLeft);
        EXPECT_EQ(QFile::exists(temporary), c.partialLeft);
        EXPECT_FALSE(QFile::exists(destination));
        ASSERT_TRUE(app->lastAlert.has_value());
        EXPECT_EQ(app->lastAlert->title, "yt-dlp Install Failed");
        EXPECT_EQ(app->lastAlert->message, c.message);
        EXPECT_EQ(app->installButton->text(), "Install yt-dlp");
        EXPECT_TRUE(app->installButton->isEnabled());
        EXPECT_FALSE(app->installedYtDlpURL.has_value());
        EXPECT_EQ(app->installProgressTimer, nullptr);
    }
}

TEST_F(InstallFixture, ProgressIsLoggedOnlyOnceTheFileExists)
{
    profile.ytDlpProgressIntervalMs = 40;
    const QString go = ws.path("go"), done = ws.path("done");
    writeCurl("while [ ! -e " + shellQuote(go) + " ]; do sleep 0.02; done\n"
              // Appears whole, so no tick can see it half written.
              "head -c 532 /dev/zero > \"$7.part\" && mv \"$7.part\" \"$7\"\n"
              "while [ ! -e " + shellQuote(done) + " ]; do sleep 0.02; done");
    auto app = launchAndInstall();
    pumpEvents(300);
    EXPECT_EQ(logLines(*app).size(), 3);
    ws.writeFile("go", "");
    EXPECT_TRUE(waitUntil([&] { return logLines(*app).count("Downloaded 532 bytes...") >= 2; }));
    ws.writeFile("done", "");
    ASSERT_TRUE(waitUntil([&] { return finished(*app); }));
    const QStringList lines = logLines(*app);
    for (int i = 3; i < lines.size() - 2; ++i)
        EXPECT_EQ(lines[i], "Downloaded 532 bytes...");
    EXPECT_EQ(lines.value(lines.size() - 2), "Installed yt-dlp.");
    // The timer is gone: nothing more is logged.
    pumpEvents(150);
    EXPECT_EQ(logLines(*app), lines);
}

TEST_F(InstallFixture, GuardsRefuseWithALogLineOnly)
{
    writeCurl("printf x > \"$7\"");
    auto app = makeDelegate(profile);
    const QStringList before = logLines(*app);

    app->isInstalling = true;
    app->installYtDlp();
    EXPECT_EQ(logLines(*app), before + QStringList{"yt-dlp installation is already running."});
    app->isInstalling = false;

    ProcessRun busy;
    app->process = &busy;
    app->installYtDlp();
    EXPECT_EQ(logLines(*app).last(), "Another task is already running.");
    app->process = nullptr;

    QFile::remove(profile.curlPath);
    app->installYtDlp();
    EXPECT_EQ(logLines(*app).last(), "curl was not found at " + profile.curlPath + ".");
    EXPECT_EQ(app->installButton->text(), "Install yt-dlp");
    EXPECT_FALSE(QFile::exists(ws.path("curl.args")));
    EXPECT_EQ(app->alertCount, 0);

    // A usable managed copy is recorded instead of downloaded again.
    ws.writeScript("home/.local/share/Stemloft/yt-dlp", "exit 0");
    app->installYtDlp();
    EXPECT_EQ(logLines(*app).mid(logLines(*app).size() - 2),
              (QStringList{"yt-dlp is already installed.", destination}));
    EXPECT_EQ(app->installedYtDlpURL, destination);
    EXPECT_EQ(app->settings().value("ytDlpPath").toString(), destination);
    EXPECT_EQ(app->lastAlert->title, "yt-dlp Already Installed");
    EXPECT_EQ(app->lastAlert->message, "You can download reference audio without installing again.");
    EXPECT_FALSE(app->installButton->isEnabled());
    EXPECT_FALSE(app->isInstalling);
}

TEST_F(InstallFixture, StartFailuresLogOnceAndRestoreTheButton)
{
    // The support folder cannot be created below a plain file.
    writeCurl("printf x > \"$7\"");
    ws.writeFile("home/.local/share", "a file where a folder must go");
    {
        auto app = launchAndInstall();
        EXPECT_TRUE(logLines(*app).last().startsWith("Install failed: "));
        EXPECT_EQ(app->installButton->text(), "Install yt-dlp");
        EXPECT_TRUE(app->installButton->isEnabled());
        EXPECT_FALSE(app->isInstalling || app->process || app->installTemporaryURL);
        EXPECT_EQ(app->alertCount, 0);
    }
    QFile::remove(ws.path("home/.local/share"));

    // curl that passes the executable check but cannot be started.
    ws.writeFile("tools/curl", "#!/nonexistent/interpreter\n");
    ::chmod(QFile::encodeName(profile.curlPath).constData(), 0755);
    auto app = launchAndInstall();
    const QStringList lines = logLines(*app);
    EXPECT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines.last().startsWith("Install failed: ")) << lines.last().toStdString();
    EXPECT_EQ(app->installButton->text(), "Install yt-dlp");
    EXPECT_EQ(app->installProgressTimer, nullptr);
    EXPECT_FALSE(app->isInstalling || app->process || app->installTemporaryURL);
    EXPECT_TRUE(app->startButton->isEnabled());
    EXPECT_EQ(app->alertCount, 0);
}

TEST_F(InstallFixture, FinishingReplacesAnOldToolOnlyWhenTheMoveSucceeds)
{
    auto app = makeDelegate(profile);
    ws.writeFile("home/.local/share/Stemloft/yt-dlp", "old tool");

    // The download is a folder, so it cannot be moved over the old file.
    ws.writeFile("home/.local/share/Stemloft/yt-dlp.download/inner", "x");
    app->finishYtDlpInstall(temporary, destination, 0);
    EXPECT_TRUE(logLines(*app).last().startsWith("Install failed: "));
    EXPECT_EQ(app->lastAlert->title, "yt-dlp Install Failed");
    EXPECT_EQ(ws.readFile(destination), "old tool");
    EXPECT_TRUE(QFile::exists(temporary + "/inner"));

    QDir(temporary).removeRecursively();
    // A download that is a dangling link cannot be made executable.
    ASSERT_TRUE(QFile::link(ws.path("nowhere"), temporary));
    app->finishYtDlpInstall(temporary, destination, 0);
    EXPECT_TRUE(logLines(*app).last().startsWith("Install failed: "));
    EXPECT_EQ(ws.readFile(destination), "old tool");
    QFile::remove(temporary);

    ws.writeFile("home/.local/share/Stemloft/yt-dlp.download", "new tool");
    app->finishYtDlpInstall(temporary, destination, 0);
    EXPECT_EQ(ws.readFile(destination), "new tool");
    EXPECT_EQ(app->installButton->text(), "yt-dlp Installed");

    // A folder in the way is no tool and is replaced.
    QFile::remove(destination);
    ws.writeFile("home/.local/share/Stemloft/yt-dlp/stray", "x");
    ws.writeFile("home/.local/share/Stemloft/yt-dlp.download", "newer tool");
    app->finishYtDlpInstall(temporary, destination, 0);
    EXPECT_EQ(ws.readFile(destination), "newer tool");
}
