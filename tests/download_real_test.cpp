// Debian's yt-dlp fetches a short clip from a local HTTP server through the
// Start button; nothing leaves 127.0.0.1.
#include "support/AppSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

const QString systemYtDlp = QStringLiteral("/usr/bin/yt-dlp");

// ffmpeg when it, Debian's yt-dlp and python3 (the local server) are all there; else empty.
QString ffmpegWithRealTools()
{
    const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
    if (!QFileInfo(systemYtDlp).isExecutable() || QStandardPaths::findExecutable("python3").isEmpty())
        return {};
    return ffmpeg;
}

}  // namespace

TEST(DownloadWithRealTool, SavesTheClipAndMakesItTheCurrentAudio)
{
    const QString ffmpeg = ffmpegWithRealTools();
    if (ffmpeg.isEmpty())
        GTEST_SKIP() << "needs /usr/bin/yt-dlp, ffmpeg and python3";

    TempWorkspace ws;
    const QString served = ws.makeDir("served");
    ASSERT_EQ(QProcess::execute(ffmpeg, {"-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=1",
                                         "-c:a", "aac", "-b:a", "64k", served + "/clip.m4a"}),
              0);
    LocalServer server(served);
    const int port = server.port();
    ASSERT_GT(port, 0);

    PlatformProfile profile = makeTestProfile(ws);
    profile.ytDlpSystemDirs = {ws.path("sys/homebrew"), ws.path("sys/local"), "/usr/bin"};
    LocalServer::removeProxies(profile.appEnvironment);
    auto app = makeApp(profile);
    // yt-dlp must take the folder's name literally, not as a template.
    const QString music = ws.makeDir("Mix %(title)s");
    app->folderField->setText(music);
    app->urlField->setText(QStringLiteral("http://127.0.0.1:%1/clip.m4a").arg(port));
    app->startButton->click();
    ASSERT_TRUE(waitIdle(*app, 120000));

    const QString saved = music + "/clip [clip].m4a";
    const QStringList lines = logLines(*app);
    EXPECT_EQ(lines.first(), "Using: " + systemYtDlp);
    EXPECT_TRUE(lines.contains("Downloaded file: " + saved)) << logText(*app).toStdString();
    EXPECT_TRUE(lines.filter(QRegularExpression("^\\[download\\]\\s+100")).size() > 0);
    EXPECT_EQ(lines.mid(lines.size() - 2), (QStringList{"Last audio: " + saved, "Done."}));
    EXPECT_EQ(QFileInfo(saved).size(), QFileInfo(served + "/clip.m4a").size());
    EXPECT_EQ(app->lastAudioURL(), saved);
    EXPECT_EQ(app->audioField->text(), saved);
    EXPECT_TRUE(app->separateButton->isEnabled());
    ASSERT_TRUE(app->lastAlert.has_value());
    EXPECT_EQ(app->lastAlert->title, "Download Complete");

    // A page without media: yt-dlp's own words get their advice.
    ws.writeFile("served/page.html", "<html><head><title>x</title></head><body>no media</body></html>");
    app->urlField->setText(QStringLiteral("http://127.0.0.1:%1/page.html").arg(port));
    app->startButton->click();
    ASSERT_TRUE(waitIdle(*app, 120000));
    const QString hint = "yt-dlp cannot download from this address.";
    EXPECT_EQ(logLines(*app).last(), "Hint: " + hint) << logText(*app).toStdString();
    EXPECT_EQ(app->lastAlert->title, "Download Failed");
    EXPECT_TRUE(app->lastAlert->text.endsWith(". " + hint));
}

TEST(DownloadWithRealTool, StopMidDownloadLeavesNoPartialFile)
{
    if (!QFileInfo(systemYtDlp).isExecutable() || QStandardPaths::findExecutable("python3").isEmpty())
        GTEST_SKIP() << "needs /usr/bin/yt-dlp and python3";

    // A server that trickles 4 MB out slowly, so the download is surely
    // under way when Stop comes; it prints its port first.
    TempWorkspace ws;
    QProcess server;
    server.setProgram(QStandardPaths::findExecutable("python3"));
    server.setArguments({"-u", "-c", QStringLiteral(R"(
import http.server, socketserver, time
class Slow(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header('Content-Type', 'audio/mp4')
        self.send_header('Content-Length', str(4 << 20))
        self.end_headers()
        try:
            for _ in range(1024):
                self.wfile.write(b'\0' * 4096)
                self.wfile.flush()
                time.sleep(0.05)
        except OSError:
            pass
    def log_message(self, *args):
        pass
httpd = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Slow)
httpd.daemon_threads = True
print('port', httpd.server_address[1], flush=True)
httpd.serve_forever()
)")});
    server.start();
    int port = 0;
    QByteArray seen;
    for (int i = 0; i < 100 && port == 0 && server.state() != QProcess::NotRunning; ++i) {
        server.waitForReadyRead(100);
        seen += server.readAll();
        const QRegularExpressionMatch match = QRegularExpression("port (\\d+)\n").match(QString::fromUtf8(seen));
        if (match.hasMatch())
            port = match.captured(1).toInt();
    }
    ASSERT_GT(port, 0) << seen.toStdString();

    PlatformProfile profile = makeTestProfile(ws);
    profile.ytDlpSystemDirs = {"/usr/bin"};
    LocalServer::removeProxies(profile.appEnvironment);
    auto app = makeApp(profile);
    const QString music = ws.makeDir("Music");
    const QString earlier = ws.writeFile("Music/earlier.m4a.part", "not ours");
    app->folderField->setText(music);
    app->urlField->setText(QStringLiteral("http://127.0.0.1:%1/slow.m4a").arg(port));
    app->startButton->click();
    // yt-dlp writes its partial file into the run's own folder, never beside the user's files.
    QString partial;
    ASSERT_TRUE(waitUntil(
        [&] {
            const QStringList own = QDir(music).entryList({".stemloft-download-*"}, QDir::Dirs | QDir::Hidden);
            partial = own.isEmpty() ? QString() : music + "/" + own.first() + "/slow [slow].m4a.part";
            return QFileInfo(partial).size() > 0;
        },
        60000))
        << logText(*app).toStdString();
    EXPECT_TRUE(app->stageLabel->text().startsWith("Downloading")) << app->stageLabel->text().toStdString();
    const QString browsers = ws.writeFile("Music/other.iso.part", "a browser's");

    app->stopButton->click();
    ASSERT_TRUE(waitIdle(*app, 20000));
    server.kill();
    server.waitForFinished(5000);
    EXPECT_EQ(logLines(*app).last(), "Stopped.");
    EXPECT_EQ(QDir(music).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{"earlier.m4a.part", "other.iso.part"}));
    EXPECT_EQ(ws.readFile(earlier), "not ours");
    EXPECT_EQ(ws.readFile(browsers), "a browser's");
    EXPECT_TRUE(app->audioField->text().isEmpty());
    EXPECT_FALSE(app->lastAlert.has_value());
}

TEST(DownloadWithRealTool, APageYtDlpCallsAPlaylistIsQueuedEntryByEntry)
{
    const QString ffmpeg = ffmpegWithRealTools();
    if (ffmpeg.isEmpty())
        GTEST_SKIP() << "needs /usr/bin/yt-dlp, ffmpeg and python3";

    TempWorkspace ws;
    const QString served = ws.makeDir("served");
    for (const QString& name : QStringList{"a", "b"})
        ASSERT_EQ(QProcess::execute(ffmpeg, {"-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=1",
                                             "-c:a", "aac", "-b:a", "64k", served + "/" + name + ".m4a"}),
                  0);
    // yt-dlp's generic extractor reads a page of several recordings as a playlist.
    ws.writeFile("served/mix.html", "<html><head><title>Two Songs</title></head><body>"
                                    "<audio src=\"a.m4a\"></audio><audio src=\"b.m4a\"></audio></body></html>");
    LocalServer server(served);
    ASSERT_GT(server.port(), 0);

    PlatformProfile profile = makeTestProfile(ws);
    profile.ytDlpSystemDirs = {ws.path("sys/homebrew"), ws.path("sys/local"), "/usr/bin"};
    LocalServer::removeProxies(profile.appEnvironment);
    auto app = makeApp(profile);
    const QString music = ws.makeDir("Music");
    app->folderField->setText(music);
    app->urlField->setText(server.url("mix.html"));
    app->startButton->click();
    ASSERT_TRUE(waitIdle(*app, 120000));

    const QStringList lines = logLines(*app);
    // The first run downloads nothing: it only finds the playlist.
    const QStringList before = lines.mid(0, lines.indexOf("[1/2] Two Songs (1)"));
    EXPECT_TRUE(before.contains("yt-dlp reports a playlist, not one recording.")) << logText(*app).toStdString();
    EXPECT_TRUE(before.filter("Downloaded file: ").isEmpty()) << logText(*app).toStdString();
    EXPECT_EQ(lines.filter(QRegularExpression("^\\[\\d/\\d\\] ")),
              (QStringList{"[1/2] Two Songs (1)", "[2/2] Two Songs (2)"}))
        << logText(*app).toStdString();
    EXPECT_EQ(app->audioFiles(), (QStringList{music + "/a [a].m4a", music + "/b [b].m4a"}));
    EXPECT_EQ(QDir(music).entryList(QDir::Files), (QStringList{"a [a].m4a", "b [b].m4a"}));
    EXPECT_EQ(lines.last(), "Finished 2 items: 2 succeeded, 0 failed.");
    EXPECT_EQ(app->lastAlert->title, "Batch Complete");
}
