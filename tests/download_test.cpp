#include "support/AppSupport.h"
#include "download/DownloadJob.h"
#include "download/DownloadOutput.h"

#include <tuple>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>

#include <gtest/gtest.h>

namespace {

struct DownloadFixture : ::testing::Test {
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    QString music = ws.makeDir("Music");
    QString tool = ws.path("pathbin/yt-dlp");

    // The fake yt-dlp records its arguments. As yt-dlp does, it runs in the
    // save folder ("dir") and keeps its partial files in "-P temp:" ("$9", "tmp").
    void writeTool(const QString& body)
    {
        ws.writeScript("pathbin/yt-dlp",
                       recordArgsLines(ws.path("args")) + "\ndir=$PWD\ntmp=\"$PWD/${9#temp:}\"\n" + body);
    }
    std::unique_ptr<TestApp> start(const QString& folder, const QString& url = "https://example.com/v")
    {
        auto app = makeApp(profile);
        app->folderField->setText(folder);
        app->urlField->setText(url);
        app->startDownload();
        return app;
    }
};

}  // namespace

TEST_F(DownloadFixture, RunsTheToolWithTheFixedArgumentsAndReportsCompletion)
{
    writeTool("echo '[download]  50.0% of 9.21KiB'");
    const QString folder = ws.path("Music  ");  // trailing blanks reach the tool (the log trims)
    ws.writeFile("earlier.m4a", "x");
    auto app = makeApp(profile);
    app->setLastAudioURL(ws.path("earlier.m4a"));
    app->folderField->setText(folder);
    // yt-dlp's own search passes as it is, never as an option.
    app->urlField->setText("  ytsearch1:--batch-file=/etc/passwd \n");
    app->startDownload();
    EXPECT_FALSE(app->lastAudioURL().has_value());
    EXPECT_TRUE(app->audioField->text().isEmpty());
    EXPECT_FALSE(app->startButton->isEnabled());
    EXPECT_FALSE(app->urlField->isEnabled());
    ASSERT_TRUE(waitIdle(*app));

    QStringList args = readRecordedArgs(ws.path("args"));
    ASSERT_EQ(args.size(), 17);
    EXPECT_TRUE(args[8].startsWith("temp:.stemloft-download-")) << args[8].toStdString();
    args[8] = "temp:PRIVATE";
    EXPECT_EQ(args, (QStringList{"--newline", "--progress", "--no-playlist", "--print", "after_move:filepath", "-f",
                                 "bestaudio[ext=m4a]/bestaudio", "-P", "temp:PRIVATE", "-o",
                                 "%(title).120B [%(id)s].%(ext)s", "--match-filter", "!playlist_index", "--print",
                                 "playlist:[stemloft] playlist", "--", "ytsearch1:--batch-file=/etc/passwd"}));
    EXPECT_EQ(logLines(*app), (QStringList{"Using: " + tool, "Saving to: " + folder.trimmed(), "Starting...",
                                           "[download]  50.0% of 9.21KiB", "Done."}));
    ASSERT_TRUE(app->lastAlert.has_value());
    EXPECT_EQ(app->lastAlert->title, "Download Complete");
    EXPECT_EQ(app->lastAlert->text, "Reference audio was saved. You can now separate stems.");
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
    EXPECT_TRUE(app->isBusy());
    ASSERT_TRUE(waitIdle(*app));
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

    // Carriage returns end lines too; blank lines are dropped.
    writeTool("printf '%s\\r%s\\na\\r\\nb\\n\\n  \\n' " + shellQuote(sibling) + " " +
              shellQuote(music + "/missing.m4a"));
    auto app = start(music);
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).mid(3), (QStringList{sibling, music + "/missing.m4a", "a", "b", "Done."}));
    EXPECT_FALSE(app->lastAudioURL().has_value());
}

TEST_F(DownloadFixture, NonZeroExitAndSignalsAreFailures)
{
    // The log keeps the exit code; the alert says yt-dlp's own reason, cut to 300 characters.
    const QString longError = "[generic] " + QString(400, 'x') + " is not a valid URL";
    const std::tuple<QString, QString, QString> cases[] = {
        {"echo 'ERROR: [generic] Unable to download webpage: HTTP Error 404: Not Found; please report this issue on  "
         "https://github.com/yt-dlp/yt-dlp/issues?q= , filling out the appropriate issue template.'\nexit 3",
         "Failed with exit code 3.", "[generic] Unable to download webpage: HTTP Error 404: Not Found"},
        {"echo 'ERROR: " + longError + "'\nexit 1", "Failed with exit code 1.", longError.left(299) + QChar(0x2026)},
        {"echo 'ERROR: [generic] x'\nkill -9 $$",
         "yt-dlp was stopped by signal 9 (SIGKILL). The system may have run out of memory.", QString()},
        {"kill -SEGV $$", "yt-dlp was stopped by signal 11 (SIGSEGV).", QString()}};
    for (const auto& [body, message, reason] : cases) {
        SCOPED_TRACE(message.toStdString());
        // What a failed run half-wrote (on a full disk, megabytes) goes with it.
        writeTool("head -c 65536 /dev/zero > \"$tmp/Song [id].m4a.part\"\n" + body);
        auto app = start(music);
        ASSERT_TRUE(waitIdle(*app));
        EXPECT_TRUE(QDir(music).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
        EXPECT_EQ(logLines(*app).last(), message);
        ASSERT_TRUE(app->lastAlert.has_value());
        EXPECT_EQ(app->lastAlert->title, "Download Failed");
        EXPECT_EQ(app->lastAlert->text, reason.isEmpty() ? message : reason);
        EXPECT_EQ(app->lastAlert->severity, Alert::Severity::warning);
        EXPECT_TRUE(app->startButton->isEnabled());
        EXPECT_FALSE(app->separateButton->isEnabled());
    }
}

// The save folder is checked before yt-dlp runs, and reaches it as data.
TEST_F(DownloadFixture, SaveFolderIsCheckedFirstAndNeverATemplate)
{
    writeTool("exit 0");
    const QString plain = ws.writeFile("plain", "x");
    const std::pair<QString, QString> unusable[] = {
        {plain, plain + ": It is a file, not a folder."},
        {plain + "/sub/dir", plain + "/sub/dir: The folder cannot be created: " + plain + " is a file, not a folder."},
        {ws.path(QString(300, 'n')), ws.path(QString(300, 'n')) + ": The folder cannot be created: File name too long."},
        {music + "/line\nbreak", music + "/line\nbreak: Folder names with line breaks are not supported."},
    };
    for (const auto& [folder, text] : unusable) {
        SCOPED_TRACE(text.toStdString());
        auto app = makeApp(profile);
        const QString before = logText(*app);
        app->folderField->setText(folder);
        app->urlField->setText("https://example.com/v");
        app->startDownload();
        ASSERT_TRUE(waitIdle(*app));
        EXPECT_EQ(logText(*app), before + "\nSave Folder Unusable: " + text);
        ASSERT_TRUE(app->lastAlert.has_value());
        EXPECT_EQ(app->lastAlert->title, "Save Folder Unusable");
        EXPECT_EQ(app->lastAlert->text, text);
        EXPECT_FALSE(QFile::exists(ws.path("args")));
        EXPECT_EQ(ws.readFile("plain"), "x");
    }

    // Unset: Downloads, said so and shown. The folder reaches yt-dlp as its
    // working directory, never as text it would read "%" or "$NAME" in.
    const QString templated = ws.makeDir("Mix %(title)s 100% $HOME");
    profile.downloadsDir = templated;
    writeTool("pwd > " + shellQuote(ws.path("cwd")));
    auto app = start(QString());
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(app->folderField->text(), templated);
    EXPECT_EQ(logLines(*app).mid(0, 3), (QStringList{"Save folder was not set; using " + templated + ".",
                                                     "Using: " + tool, "Saving to: " + templated}));
    EXPECT_EQ(ws.readFile("cwd").trimmed(), templated.toUtf8());
    EXPECT_FALSE(readRecordedArgs(ws.path("args")).join('\n').contains(templated));
}

// A child printing megabytes without a line break: one entry, shortened in
// the view, whole in the run's log file; the lines after it still count.
TEST_F(DownloadFixture, AHugeLineIsOneShortenedEntry)
{
    const QString file = ws.writeFile("Music/song [id].m4a", "a");
    writeTool("head -c 10000000 /dev/zero | tr '\\0' x; echo; echo " + shellQuote(file));
    auto app = start(music);
    // Ten megabytes through the log are slow under the sanitizers on a busy machine.
    ASSERT_TRUE(waitIdle(*app, 60000));
    const QStringList lines = logLines(*app);
    ASSERT_EQ(lines.size(), 7) << lines.join('\n').left(300).toStdString();
    EXPECT_EQ(lines.at(3), QString(4096, 'x') + " … (9995904 more characters)");
    EXPECT_EQ(lines.at(4), "Downloaded file: " + file);
    EXPECT_EQ(app->lastAudioURL(), file);

    const QStringList logs = QDir(app->logFolder()).entryList({"*.log"}, QDir::Files);
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(logs.first().endsWith(" Download.log")) << logs.first().toStdString();
    QFile written(app->logFolder() + "/" + logs.first());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().contains("\n" + QByteArray(10000000, 'x') + "\nDownloaded file: "));
}

TEST_F(DownloadFixture, GuardsLeaveTheLogAsItWas)
{
    auto app = makeApp(profile);
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
    app->runJob(new HoldJob);
    app->startDownload();
    EXPECT_EQ(logLines(*app).last(), "A download is already running.");
    EXPECT_EQ(logLines(*app).size(), before.size() + 4);
    app->stopCurrentJob();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_FALSE(QFile::exists(ws.path("args")));
    EXPECT_EQ(app->alertCount, 0);
}

TEST_F(DownloadFixture, PrefersTheRecordedToolAndReportsAStartFailure)
{
    writeTool("exit 0");
    const QString recorded = ws.writeScript("opt/yt-dlp", recordArgsLines(ws.path("recorded-args")));
    auto app = makeApp(profile);
    app->markYtDlpInstalled(recorded);
    app->urlField->setText("https://example.com/v");
    app->startDownload();
    ASSERT_TRUE(waitIdle(*app));
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
    EXPECT_EQ(app->installedYtDlp(), recorded);
    EXPECT_FALSE(app->isBusy());
    EXPECT_TRUE(app->startButton->isEnabled());
    EXPECT_EQ(app->alertCount, 1);  // only the earlier completion
}

TEST_F(DownloadFixture, ProgressLinesDriveTheStatusRow)
{
    const QString go = ws.path("go");
    writeTool("echo '[download]   5.0% of 1MiB'\necho '[download]  42.0% of 1MiB at 1MiB/s ETA 00:01'\n"
              "while [ ! -e " + shellQuote(go) + " ]; do sleep 0.02; done\necho '[download] 100% of 1MiB'");
    auto app = start(music);
    ASSERT_TRUE(app->isBusy());
    ASSERT_TRUE(waitUntil([&] { return app->stageLabel->text() == "Downloading 42%"; }))
        << app->stageLabel->text().toStdString();
    EXPECT_EQ(app->progressBar->maximum(), 100);
    EXPECT_EQ(app->progressBar->value(), 42);
    EXPECT_TRUE(app->stopButton->isEnabled());

    ws.writeFile("go", "");
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).mid(3), (QStringList{"[download]   5.0% of 1MiB",
                                                  "[download]  42.0% of 1MiB at 1MiB/s ETA 00:01",
                                                  "[download] 100% of 1MiB", "Done."}));
    EXPECT_EQ(app->stageLabel->text(), "Ready");
    EXPECT_NE(app->progressBar->value(), 100);  // an idle bar is empty
    EXPECT_FALSE(app->stopButton->isEnabled());
}

TEST_F(DownloadFixture, EveryOutputLineReachesTheLogInOrder)
{
    writeTool("seq 1 20000 | sed 's/^/line /'");
    auto app = start(music);
    ASSERT_TRUE(waitIdle(*app, 60000));
    QStringList expected;
    for (int i = 1; i <= 20000; ++i)
        expected << QStringLiteral("line %1").arg(i);
    const QStringList lines = logLines(*app);
    ASSERT_EQ(lines.size(), 3 + 20000 + 1);
    EXPECT_EQ(lines.mid(3, 20000), expected);
    EXPECT_EQ(lines.last(), "Done.");
}

TEST_F(DownloadFixture, StopRemovesThisRunsOwnFolderAndNothingElse)
{
    const QString earlier = ws.writeFile("Music/Earlier [e].m4a", "earlier");
    const QString otherPart = ws.writeFile("Music/Other [o].m4a.part", "another run's");
    {
        // Never started: nothing of the save folder is its to remove.
        DownloadJob unstarted(DownloadJob::Params{tool, "https://example.com/v", music, {}});
    }
    EXPECT_EQ(ws.readFile(otherPart), "another run's");
    const QString pids = ws.path("pids");
    writeTool("dest=\"$tmp/Song [id].m4a\"\n"
              ": > \"$dest.part\"; : > \"$dest.ytdl\"; : > \"$dest.part-Frag1\"\n"
              "echo " + shellQuote(earlier) + "\n"
              "sleep 1000 &\necho $$ $! > " + shellQuote(pids) + "\nwait");
    auto app = start(music);
    ASSERT_TRUE(waitUntil([&] { return app->audioField->text() == earlier && !ws.readFile(pids).isEmpty(); }));
    const QStringList own = QDir(music).entryList({".stemloft-download-*"}, QDir::Dirs | QDir::Hidden);
    ASSERT_EQ(own.size(), 1);
    EXPECT_EQ(QDir(music + "/" + own[0]).entryList(QDir::Files | QDir::Hidden).size(), 4) << "three and the owner";
    // A browser's partial download appears while the run goes on.
    const QString browsers = ws.writeFile("Music/installer.iso.part", "a browser's");
    const QList<QByteArray> pidText = ws.readFile(pids).trimmed().split(' ');
    ASSERT_EQ(pidText.size(), 2);
    const qint64 tool = pidText[0].toLongLong(), sleeper = pidText[1].toLongLong();
    ASSERT_TRUE(processAlive(tool) && processAlive(sleeper));

    app->stopButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_FALSE(processAlive(tool));
    EXPECT_FALSE(processAlive(sleeper));
    EXPECT_EQ(QDir(music).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{"Earlier [e].m4a", "installer.iso.part", "Other [o].m4a.part"}));
    EXPECT_EQ(ws.readFile(earlier), "earlier");
    EXPECT_EQ(ws.readFile(otherPart), "another run's");
    EXPECT_EQ(ws.readFile(browsers), "a browser's");
    EXPECT_FALSE(app->lastAudioURL().has_value());
    EXPECT_TRUE(app->audioField->text().isEmpty());
    EXPECT_FALSE(app->separateButton->isEnabled());
    EXPECT_TRUE(app->startButton->isEnabled());
}

// The browser's cookies reach yt-dlp before "--" and the choice outlives the
// app; the managed Deno is the one yt-dlp finds on PATH.
TEST_F(DownloadFixture, CookiesAndTheManagedDenoReachTheTool)
{
    const QString deno = ws.writeScript("home/.local/share/Stemloft/deno", "exit 0");
    ws.writeScript("pathbin/deno", "exit 0");
    writeTool("command -v deno");
    {
        QSettings(profile.settingsFile, QSettings::IniFormat).setValue("cookiesFromBrowser", "safari");
        auto app = makeApp(profile);
        QStringList titles;
        for (QAction* action : app->cookiesActions)
            titles << action->text();
        EXPECT_EQ(titles, (QStringList{"No Cookies", "Firefox", "Chrome", "Chromium", "Brave", "Edge"}));
        // Safari is not offered here, so its stored name means none.
        EXPECT_TRUE(app->cookiesActions[0]->isChecked());
        app->cookiesActions[1]->trigger();
        EXPECT_EQ(storedSettings(*app)->value("cookiesFromBrowser").toString(), "firefox");
    }
    auto app = makeApp(profile);
    EXPECT_TRUE(app->cookiesActions[1]->isChecked());
    EXPECT_FALSE(app->cookiesActions[0]->isChecked());
    app->folderField->setText(music);
    app->urlField->setText("https://example.com/v");
    app->startDownload();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(readRecordedArgs(ws.path("args")).mid(15),
              (QStringList{"--cookies-from-browser", "firefox", "--", "https://example.com/v"}));
    EXPECT_EQ(logLines(*app).mid(0, 5), (QStringList{"Using: " + tool, "Saving to: " + music, "Cookies from: Firefox",
                                                     "Starting...", deno}));

    app->cookiesActions[0]->trigger();
    EXPECT_FALSE(storedSettings(*app)->contains("cookiesFromBrowser"));
    app->startDownload();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(readRecordedArgs(ws.path("args")).mid(15), (QStringList{"--", "https://example.com/v"}));
}

TEST(DownloadHints, YtDlpErrorLinesGetTheirAdvice)
{
    const QString cookies = "YouTube asks for a signed-in browser: choose your browser under Cookies and try again.";
    const QString deno = "yt-dlp needs Deno for YouTube: choose Update yt-dlp to install it.";
    const QString update = "The site changed: choose Update yt-dlp and try again.";
    const QString network = "Check the internet connection and try again.";
    const std::pair<QString, QString> cases[] = {
        {"ERROR: [youtube] dQw4w9WgXcQ: Sign in to confirm you\u2019re not a bot. Use --cookies-from-browser or "
         "--cookies for the authentication.",
         cookies},
        {"WARNING: [youtube] No supported JavaScript runtime could be found. Only deno is enabled by default; to use "
         "another runtime add  --js-runtimes RUNTIME[:PATH]  to your command/config.",
         deno},
        {"ERROR: unable to download video data: HTTP Error 403: Forbidden", update},
        {"ERROR: [youtube] dQw4w9WgXcQ: Requested format is not available. Use --list-formats for a list of "
         "available formats",
         update},
        {"ERROR: [youtube] dQw4w9WgXcQ: Unable to extract uploader id; please report this issue on  "
         "https://github.com/yt-dlp/yt-dlp/issues?q= , filling out the appropriate issue template.",
         update},
        {"ERROR: Unsupported URL: https://example.com/page", "yt-dlp cannot download from this address."},
        {"ERROR: [generic] Unable to download webpage: <urlopen error [Errno -3] Temporary failure in name "
         "resolution> (caused by TransportError('<urlopen error [Errno -3] Temporary failure in name resolution>'))",
         network},
        {"ERROR: [youtube] x: Unable to download API page: <urlopen error [Errno 101] Network is unreachable>", network},
        {"ERROR: [download] Got error: The read operation timed out", network},
        // Only yt-dlp's own reports count, not a title that happens to say so.
        {"[download] Destination: /music/Unsupported URL (timed out) [x].m4a", QString()},
        {"ERROR: [generic] Unable to download webpage: HTTP Error 404: Not Found", QString()},
    };
    for (const auto& [line, hint] : cases) {
        SCOPED_TRACE(line.toStdString());
        const std::optional<download::Hint> found = download::hintFor(line);
        EXPECT_EQ(found ? found->text : QString(), hint);
    }
    // The missing runtime explains the missing format, so it is the advice.
    EXPECT_LT(download::hintFor(cases[1].first)->rank, download::hintFor(cases[3].first)->rank);
    EXPECT_LT(download::hintFor(cases[0].first)->rank, download::hintFor(cases[1].first)->rank);
}

TEST_F(DownloadFixture, AFailureEndsWithTheMostTellingHint)
{
    writeTool("echo 'ERROR: [youtube] x: Requested format is not available. Use --list-formats'\n"
              "echo 'WARNING: [youtube] No supported JavaScript runtime could be found.'\nexit 1");
    auto app = start(music);
    ASSERT_TRUE(waitIdle(*app));
    const QString hint = "yt-dlp needs Deno for YouTube: choose Update yt-dlp to install it.";
    EXPECT_EQ(logLines(*app).mid(logLines(*app).size() - 2),
              (QStringList{"Failed with exit code 1.", "Hint: " + hint}));
    ASSERT_TRUE(app->lastAlert.has_value());
    EXPECT_EQ(app->lastAlert->text, "[youtube] x: Requested format is not available. Use --list-formats. " + hint);

    // A download that works despite a warning needs no advice.
    writeTool("echo 'WARNING: [youtube] No supported JavaScript runtime could be found.'");
    app->startDownload();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "Done.");
    EXPECT_TRUE(logLines(*app).filter("Hint: ").isEmpty());
}
