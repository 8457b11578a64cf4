#include "support/AppSupport.h"

#include "fetch/Verification.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QSettings>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct InstallFixture : ::testing::Test {
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    QString support = ws.path("home/.local/share/Stemloft");
    QString destination = support + "/yt-dlp";
    QString temporary = support + "/yt-dlp.download";
    QString denoTarget = support + "/deno";
    // A deno on PATH spares the tests that are about yt-dlp the Deno step.
    QString pathDeno = ws.writeScript("pathbin/deno", "echo deno 1.0");

    // What the release publishes beside its assets; unless a test says
    // otherwise, the digests of whatever the asset downloads wrote.
    QString ytDlpSums = "printf '%s  %s\\n' \"$(sha256sum < " + shellQuote(temporary) + " | cut -c1-64)\" " +
                        shellQuote(profile.ytDlpReleaseAsset) + " > \"$7\"";
    QString denoSum = "printf '%s  deno.zip\\n' \"$(sha256sum < " + shellQuote(support + "/deno.zip.download") +
                      " | cut -c1-64)\" > \"$7\"";

    // The fake curl records the arguments of each asset download in
    // curl.args, the checksum list's in sums.args; "$5" is the URL, "$7" the
    // file after "-o". Without a gpgv no signature is asked for.
    void writeCurlFor(const QString& ytDlpBody, const QString& denoBody)
    {
        const QString record = recordArgsLines(ws.path("curl.args")) + "\n";
        ws.writeScript("tools/curl", "case \"$5\" in\n*/SHA2-256SUMS) " + recordArgsLines(ws.path("sums.args")) +
                                         "\n" + ytDlpSums + " ;;\n*.sha256sum) " + denoSum + " ;;\n*/deno-*) " +
                                         record + denoBody + " ;;\n*) " + record + ytDlpBody + " ;;\nesac");
    }
    void writeCurl(const QString& ytDlpBody) { writeCurlFor(ytDlpBody, "exit 22"); }
    QStringList supportEntries() const
    {
        return QDir(support).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }
    // Answers "unzip -o -q ARCHIVE deno -d FOLDER" the way Info-ZIP does; an
    // archive that says "deno-binary" holds the program.
    void writeUnzip()
    {
        ws.writeScript("tools/unzip", recordArgsLines(ws.path("unzip.args")) +
                                          "\nif grep -q deno-binary \"$3\"; then printf 'new deno' > \"$6/$4\"; "
                                          "else echo 'caution: filename not matched:  deno'; exit 11; fi");
    }
    void expectNoDenoDebris() const
    {
        EXPECT_FALSE(QFileInfo::exists(support + "/deno.zip.download"));
        EXPECT_FALSE(QFileInfo::exists(support + "/deno.zip.sha256sum.download"));
        EXPECT_FALSE(QFileInfo::exists(support + "/deno.unpack"));
    }
    std::unique_ptr<TestApp> launchAndInstall()
    {
        auto app = makeApp(profile);
        app->installYtDlp();
        return app;
    }
    // A curl that waits for the go-file before it runs body.
    void writeWaitingCurl(const QString& body)
    {
        writeCurl("while [ ! -e " + shellQuote(ws.path("go")) + " ]; do sleep 0.02; done\n" + body);
    }
    // A whole install through the button while an old tool sits in place:
    // the guard would take an old tool for a finished install, so it is
    // written once curl runs.
    std::unique_ptr<TestApp> installOverOldTool(const QString& curlBody)
    {
        QFile::remove(ws.path("go"));
        QFile::remove(destination);
        writeWaitingCurl(curlBody);
        auto app = launchAndInstall();
        EXPECT_TRUE(app->isBusy());
        ws.writeFile("home/.local/share/Stemloft/yt-dlp", "old tool");
        ws.writeFile("go", "");
        EXPECT_TRUE(waitIdle(*app));
        return app;
    }
};

}  // namespace

TEST_F(InstallFixture, DownloadsWithCurlAndPutsTheToolInPlace)
{
    ws.writeFile("home/.local/share/Stemloft/yt-dlp.download", "leftover");
    writeCurl("[ -e \"$7\" ] && touch " + shellQuote(ws.path("leftover-seen")) +
              "\nprintf 'new tool' > \"$7\"\nchmod 600 \"$7\"");
    auto app = launchAndInstall();
    EXPECT_TRUE(app->isBusy());
    EXPECT_FALSE(app->startButton->isEnabled());
    EXPECT_EQ(app->installButton->text(), "Installing...");
    ASSERT_TRUE(waitIdle(*app));

    const QString url = profile.ytDlpDownloadURL();
    EXPECT_TRUE(url.startsWith("https://github.com/yt-dlp/yt-dlp/releases/latest/download/yt-dlp_"));
    EXPECT_EQ(readRecordedArgs(ws.path("curl.args")),
              (QStringList{"-L", "--fail", "--show-error", "--silent", url, "-o", temporary}));
    EXPECT_EQ(readRecordedArgs(ws.path("sums.args")),
              (QStringList{"-L", "--fail", "--show-error", "--silent", profile.ytDlpDownloadBase + "SHA2-256SUMS", "-o",
                           support + "/SHA2-256SUMS.download"}));
    EXPECT_FALSE(QFile::exists(ws.path("leftover-seen")));
    EXPECT_EQ(ws.readFile(destination), "new tool");
    EXPECT_EQ(modeOf(destination), 0755u);
    EXPECT_EQ(supportEntries(), (QStringList{"logs", "yt-dlp"}));
    EXPECT_EQ(logLines(*app), (QStringList{"Downloading yt-dlp...", url,
                                           "Progress will appear here while the file downloads.", "Verified SHA-256.",
                                           "Installed yt-dlp.", destination, "Deno found: " + pathDeno}));
    EXPECT_EQ(app->installedYtDlp(), destination);
    EXPECT_EQ(storedSettings(*app)->value("ytDlpPath").toString(), destination);
    EXPECT_EQ(app->installButton->text(), "yt-dlp Installed");
    EXPECT_FALSE(app->installButton->isEnabled());
    EXPECT_TRUE(app->startButton->isEnabled());
    EXPECT_EQ(app->stageLabel->text(), "Ready");
    ASSERT_TRUE(app->lastAlert.has_value());
    EXPECT_EQ(app->lastAlert->title, "yt-dlp Installed");
    EXPECT_EQ(app->lastAlert->text, "You can now download reference audio.");
}

TEST_F(InstallFixture, CurlFailuresAreReportedAndLeaveInstallOffered)
{
    struct Case {
        QString body;
        QString message;
        bool curlSaidWhy;
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
        ASSERT_TRUE(waitIdle(*app));
        EXPECT_EQ(logLines(*app).last(), c.message);
        EXPECT_EQ(logLines(*app).contains("curl: (22) The requested URL returned error: 404"), c.curlSaidWhy);
        EXPECT_FALSE(QFile::exists(temporary));
        EXPECT_FALSE(QFile::exists(destination));
        ASSERT_TRUE(app->lastAlert.has_value());
        EXPECT_EQ(app->lastAlert->title, "yt-dlp Install Failed");
        EXPECT_EQ(app->lastAlert->text, c.message);
        EXPECT_EQ(app->installButton->text(), "Install yt-dlp");
        EXPECT_TRUE(app->installButton->isEnabled());
        EXPECT_FALSE(app->installedYtDlp().has_value());
        EXPECT_FALSE(app->stopButton->isEnabled());
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
    ASSERT_TRUE(waitIdle(*app));
    const QStringList lines = logLines(*app);
    for (int i = 3; i < lines.size() - 4; ++i)
        EXPECT_EQ(lines[i], "Downloaded 532 bytes...");
    EXPECT_EQ(lines.value(lines.size() - 3), "Installed yt-dlp.");
    // The timer is gone: nothing more is logged.
    pumpEvents(150);
    EXPECT_EQ(logLines(*app), lines);
}

TEST_F(InstallFixture, GuardsRefuseWithALogLineOnly)
{
    const QString curlRuns = ws.path("curl-runs");
    writeCurl("echo $$ >> " + shellQuote(curlRuns) + "\nexec sleep 1000");
    auto app = makeApp(profile);
    const QStringList before = logLines(*app);

    app->runJob(new HoldJob);
    app->installYtDlp();
    EXPECT_EQ(logLines(*app), before + QStringList{"Another task is already running."});
    app->stopCurrentJob();
    ASSERT_TRUE(waitIdle(*app));

    // A second press while the install runs starts no second curl.
    app->installYtDlp();
    ASSERT_TRUE(app->isBusy());
    const QStringList running = logLines(*app);
    app->installYtDlp();
    EXPECT_EQ(logLines(*app), running + QStringList{"yt-dlp installation is already running."});
    // The shell creates the file before it writes the line.
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(curlRuns).size() > 0; }));
    app->stopCurrentJob();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(readRecordedArgs(curlRuns).size(), 1);
    QFile::remove(ws.path("curl.args"));

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
    EXPECT_EQ(app->installedYtDlp(), destination);
    EXPECT_EQ(storedSettings(*app)->value("ytDlpPath").toString(), destination);
    EXPECT_EQ(app->lastAlert->title, "yt-dlp Already Installed");
    EXPECT_EQ(app->lastAlert->text, "You can download reference audio without installing again.");
    EXPECT_FALSE(app->installButton->isEnabled());
    EXPECT_FALSE(app->isBusy());
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
        EXPECT_FALSE(app->isBusy());
        EXPECT_EQ(app->alertCount, 0);
    }
    QFile::remove(ws.path("home/.local/share"));

    // curl that passes the executable check but cannot be started.
    profile.ytDlpProgressIntervalMs = 40;
    ws.writeFile("tools/curl", "#!/nonexistent/interpreter\n");
    ::chmod(QFile::encodeName(profile.curlPath).constData(), 0755);
    auto app = launchAndInstall();
    const QStringList lines = logLines(*app);
    EXPECT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines.last().startsWith("Install failed: ")) << lines.last().toStdString();
    EXPECT_EQ(app->installButton->text(), "Install yt-dlp");
    EXPECT_FALSE(app->isBusy());
    EXPECT_TRUE(app->startButton->isEnabled());
    EXPECT_FALSE(app->stopButton->isEnabled());
    EXPECT_EQ(app->stageLabel->text(), "Ready");
    EXPECT_EQ(app->alertCount, 0);
    // No progress timer outlives the failed start, even once a file is there.
    ws.writeFile("home/.local/share/Stemloft/yt-dlp.download", "x");
    pumpEvents(200);
    EXPECT_EQ(logLines(*app), lines);
}

TEST_F(InstallFixture, FinishingReplacesAnOldToolOnlyWhenTheMoveSucceeds)
{
    {
        // The download is a folder, so it cannot be moved over the old file.
        auto app = installOverOldTool("mkdir \"$7\" && echo x > \"$7/inner\"");
        EXPECT_TRUE(logLines(*app).last().startsWith("Install failed: ")) << logLines(*app).last().toStdString();
        ASSERT_TRUE(app->lastAlert.has_value());
        EXPECT_EQ(app->lastAlert->title, "yt-dlp Install Failed");
        EXPECT_EQ(ws.readFile(destination), "old tool");
        EXPECT_FALSE(QFileInfo::exists(temporary));
        EXPECT_EQ(app->installButton->text(), "Install yt-dlp");
    }
    {
        // A download that is a dangling link cannot be made executable.
        auto app = installOverOldTool("ln -s " + shellQuote(ws.path("nowhere")) + " \"$7\"");
        EXPECT_TRUE(logLines(*app).last().startsWith("Install failed: ")) << logLines(*app).last().toStdString();
        EXPECT_EQ(ws.readFile(destination), "old tool");
    }
    {
        auto app = installOverOldTool("printf 'new tool' > \"$7\"");
        EXPECT_EQ(logLines(*app).last(), "Deno found: " + pathDeno);
        EXPECT_EQ(ws.readFile(destination), "new tool");
        EXPECT_EQ(app->installButton->text(), "yt-dlp Installed");
    }

    // A folder in the way is no tool: the button offers the install, and
    // the folder is replaced.
    QFile::remove(destination);
    ws.writeFile("home/.local/share/Stemloft/yt-dlp/stray", "x");
    writeCurl("printf 'newer tool' > \"$7\"");
    auto app = launchAndInstall();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(ws.readFile(destination), "newer tool");
    EXPECT_EQ(app->installedYtDlp(), destination);
}

TEST_F(InstallFixture, StopKeepsTheOldToolAndRemovesTheHalfDownload)
{
    const QString pidFile = ws.path("curl.pid");
    writeCurl("echo $$ > " + shellQuote(pidFile) + "\nprintf 'half' > \"$7\"\nexec sleep 1000");
    auto app = launchAndInstall();
    ASSERT_TRUE(app->isBusy());
    // Written after the guard, which would take it for a finished install.
    ws.writeFile("home/.local/share/Stemloft/yt-dlp", "old tool\n");
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(temporary) && !ws.readFile(pidFile).isEmpty(); }));
    const qint64 curl = ws.readFile(pidFile).trimmed().toLongLong();
    ASSERT_TRUE(processAlive(curl));
    EXPECT_TRUE(app->stopButton->isEnabled());

    app->stopButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_FALSE(processAlive(curl));
    EXPECT_EQ(ws.readFile(destination), "old tool\n");
    EXPECT_FALSE(QFileInfo::exists(temporary));
    EXPECT_EQ(logLines(*app).last(), "Stopped.");
    EXPECT_EQ(app->alertCount, 0);
    EXPECT_FALSE(app->lastAlert.has_value());
    EXPECT_EQ(app->installButton->text(), "Install yt-dlp");
    EXPECT_TRUE(app->installButton->isEnabled());
    EXPECT_FALSE(app->installedYtDlp().has_value());
    EXPECT_FALSE(app->stopButton->isEnabled());
    EXPECT_TRUE(app->startButton->isEnabled());
    EXPECT_EQ(app->stageLabel->text(), "Ready");
}

TEST_F(InstallFixture, InstallsDenoBesideYtDlpWhenNoneIsFound)
{
    QFile::remove(pathDeno);
    writeCurlFor("printf 'new tool' > \"$7\"", "printf 'deno-binary' > \"$7\"");
    writeUnzip();
    auto app = launchAndInstall();
    ASSERT_TRUE(waitIdle(*app));

    const QString url = profile.denoDownloadURL();
    EXPECT_EQ(url, "https://github.com/denoland/deno/releases/latest/download/deno-" + profile.denoTarget + ".zip");
    const QString archive = support + "/deno.zip.download";
    // The last run of curl was Deno's.
    EXPECT_EQ(readRecordedArgs(ws.path("curl.args")),
              (QStringList{"-L", "--fail", "--show-error", "--silent", url, "-o", archive}));
    EXPECT_EQ(readRecordedArgs(ws.path("unzip.args")),
              (QStringList{"-o", "-q", archive, "deno", "-d", support + "/deno.unpack"}));
    EXPECT_EQ(ws.readFile(destination), "new tool");
    EXPECT_EQ(ws.readFile(denoTarget), "new deno");
    EXPECT_EQ(modeOf(denoTarget), 0755u);
    expectNoDenoDebris();
    EXPECT_EQ(logLines(*app).mid(6), (QStringList{"Installing Deno (JavaScript runtime for YouTube)...", url,
                                                  "Verified SHA-256.", "Deno installed: " + denoTarget}));
    ASSERT_TRUE(app->lastAlert.has_value());
    EXPECT_EQ(app->lastAlert->title, "yt-dlp Installed");
}

TEST_F(InstallFixture, DenoFailuresLeaveTheNewYtDlpInstalled)
{
    QFile::remove(pathDeno);
    struct Case {
        QString denoBody;
        bool unzipThere;
        QString reason;
        QString sum;
    };
    const Case cases[] = {
        {"echo 'curl: (22) The requested URL returned error: 404' >&2; exit 22", true,
         "Download failed with exit code 22.", denoSum},
        {"printf 'an archive of something else' > \"$7\"", true, "The downloaded archive has no deno program in it.",
         denoSum},
        {"printf 'deno-binary' > \"$7\"", false, "unzip was not found at " + profile.unzipPath + ".", denoSum},
        {"printf 'deno-binary' > \"$7\"", true,
         "The published checksum could not be downloaded: Download failed with exit code 6.", "exit 6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason.toStdString());
        denoSum = c.sum;
        QFile::remove(destination);
        QFile::remove(ws.path("curl.args"));
        QFile::remove(profile.unzipPath);
        if (c.unzipThere)
            writeUnzip();
        writeCurlFor("printf 'new tool' > \"$7\"", c.denoBody);
        auto app = launchAndInstall();
        ASSERT_TRUE(waitIdle(*app));

        const QString message = "yt-dlp is installed, but Deno is not: " + c.reason +
                                " YouTube downloads may fail without it; choose Update yt-dlp to try again.";
        EXPECT_EQ(logLines(*app).last(), message);
        ASSERT_TRUE(app->lastAlert.has_value());
        EXPECT_EQ(app->lastAlert->title, "Deno Install Failed");
        EXPECT_EQ(app->lastAlert->text, message);
        EXPECT_EQ(ws.readFile(destination), "new tool");
        EXPECT_EQ(app->installedYtDlp(), destination);
        EXPECT_EQ(app->installButton->text(), "yt-dlp Installed");
        EXPECT_FALSE(QFileInfo::exists(denoTarget));
        expectNoDenoDebris();
        // Without unzip nothing is downloaded that could not be unpacked.
        EXPECT_EQ(readRecordedArgs(ws.path("curl.args")).value(4),
                  c.unzipThere ? profile.denoDownloadURL() : profile.ytDlpDownloadURL());
    }
}

TEST_F(InstallFixture, UpdateReplacesEachFileOnlyWhenItsDownloadSucceeded)
{
    writeUnzip();
    writeCurlFor("printf 'tool 1' > \"$7\"", "printf 'deno-binary' > \"$7\"");
    auto app = makeApp(profile);
    ASSERT_NE(app->updateYtDlpAction, nullptr);
    EXPECT_EQ(app->updateYtDlpAction->text(), "Update yt-dlp");
    app->runJob(new HoldJob);
    EXPECT_FALSE(app->updateYtDlpAction->isEnabled());
    app->stopCurrentJob();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_TRUE(app->updateYtDlpAction->isEnabled());

    // With no managed yt-dlp, Update is Install: the deno on PATH will do.
    app->updateYtDlpAction->trigger();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(ws.readFile(destination), "tool 1");
    EXPECT_EQ(logLines(*app).last(), "Deno found: " + pathDeno);
    EXPECT_EQ(app->lastAlert->title, "yt-dlp Installed");

    // Once both are managed, both are downloaded again, although a deno is on PATH.
    ws.writeFile("home/.local/share/Stemloft/deno", "old deno");
    struct Case {
        QString ytDlpBody;
        QString denoBody;
        QByteArray ytDlp;
        QByteArray deno;
        QString title;
    };
    const Case cases[] = {
        {"exit 22", "printf 'deno-binary' > \"$7\"", "tool 1", "old deno", "yt-dlp Install Failed"},
        {"printf 'tool 2' > \"$7\"", "exit 22", "tool 2", "old deno", "Deno Install Failed"},
        {"printf 'tool 3' > \"$7\"", "printf 'deno-binary' > \"$7\"", "tool 3", "new deno", "yt-dlp Updated"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title.toStdString());
        writeCurlFor(c.ytDlpBody, c.denoBody);
        app->updateYtDlpAction->trigger();
        ASSERT_TRUE(waitIdle(*app));
        EXPECT_EQ(ws.readFile(destination), c.ytDlp);
        EXPECT_EQ(ws.readFile(denoTarget), c.deno);
        ASSERT_TRUE(app->lastAlert.has_value());
        EXPECT_EQ(app->lastAlert->title, c.title);
        EXPECT_EQ(app->installButton->text(), "yt-dlp Installed");
        EXPECT_FALSE(QFileInfo::exists(temporary));
        expectNoDenoDebris();
    }
}

TEST_F(InstallFixture, StopDuringDenoKeepsTheNewYtDlpAndRemovesTheHalfArchive)
{
    QFile::remove(pathDeno);
    writeUnzip();
    writeCurlFor("printf 'new tool' > \"$7\"", "printf 'half' > \"$7\"; exec sleep 1000");
    {
        auto app = launchAndInstall();
        ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(support + "/deno.zip.download"); }));
        EXPECT_TRUE(app->stageLabel->text().startsWith("Installing Deno")) << app->stageLabel->text().toStdString();
        app->stopButton->click();
        ASSERT_TRUE(waitIdle(*app));
        EXPECT_EQ(logLines(*app).last(), "Stopped.");
        EXPECT_EQ(ws.readFile(destination), "new tool");
        EXPECT_EQ(app->installButton->text(), "yt-dlp Installed");
        EXPECT_FALSE(QFileInfo::exists(denoTarget));
        expectNoDenoDebris();
    }

    // Stopped while the archive is hashed: a named pipe holds the hash until
    // the test writes to it.
    QFile::remove(destination);
    denoSum = "printf '%s  deno.zip\\n' " + QString(64, '0') + " > \"$7\"";
    writeCurlFor("printf 'new tool' > \"$7\"", "rm -f \"$7\"; mkfifo \"$7\"");
    auto app = launchAndInstall();
    const QByteArray pipe = QFile::encodeName(support + "/deno.zip.download");
    int writer = -1;
    // Opening without blocking succeeds only once the hash has the pipe open.
    ASSERT_TRUE(waitUntil([&] { return (writer = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK)) >= 0; }));
    app->stopButton->click();
    pumpEvents(100);
    EXPECT_TRUE(app->isBusy());
    ::close(writer);
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "Stopped.");
    EXPECT_EQ(app->alertCount, 0);
    EXPECT_FALSE(QFileInfo::exists(denoTarget));
    expectNoDenoDebris();
}

TEST(ShippedSigningKey, IsYtDlpsReleaseKey)
{
    TempWorkspace ws;
    const PlatformProfile profile = makeTestProfile(ws);
    Settings settings(profile);
    const QByteArray key =
        verification::dearmoredKey(Toolbox(profile, settings).ytDlpInstallParams(false).signingKey);

    // The first packet is the primary key (old format, tag 6, two-byte length);
    // a version 4 fingerprint is the SHA-1 of exactly those bytes.
    ASSERT_GT(key.size(), 3);
    ASSERT_EQ(uchar(key[0]), 0x99);
    const int length = (uchar(key[1]) << 8) | uchar(key[2]);
    EXPECT_EQ(QCryptographicHash::hash(key.left(3 + length), QCryptographicHash::Sha1).toHex().toUpper(),
              "AC0CBBE6848D6A873464AF4E57CF65933B5A7581");
}
