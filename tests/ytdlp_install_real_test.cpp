// The installer with the system's own curl and unzip against a local HTTP
// server; nothing leaves 127.0.0.1.
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

// A zip archive holding the given members, written by Python's zipfile.
void writeZip(const QString& path, const QStringList& members)
{
    QString script = QStringLiteral("import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w')\n");
    for (const QString& member : members)
        script += "z.writestr('" + member + "', '#!/bin/sh\\necho deno 9.9.9\\n')\n";
    script += QStringLiteral("z.close()\n");
    const SyncRunResult run = runSync(QStandardPaths::findExecutable("python3"), {"-c", script, path});
    ASSERT_EQ(run.status, 0) << run.output.toStdString();
}

}  // namespace

TEST(InstallWithRealTools, CurlAndUnzipPutYtDlpAndDenoInPlace)
{
    if (!QFileInfo("/usr/bin/curl").isExecutable() || !QFileInfo("/usr/bin/unzip").isExecutable() ||
        QStandardPaths::findExecutable("python3").isEmpty())
        GTEST_SKIP() << "needs /usr/bin/curl, /usr/bin/unzip and python3";

    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    ws.writeFile("served/yt-dlp_linux", "#!/bin/sh\necho 2099.01.01\n");
    profile.ytDlpReleaseAsset = "yt-dlp_linux";
    const QString archive = "deno-" + profile.denoTarget + ".zip";
    writeZip(ws.makeDir("served/good") + "/" + archive, {"README.md", "deno"});
    writeZip(ws.makeDir("served/other") + "/" + archive, {"README.md", "deno-x/deno"});
    ws.writeFile("served/broken/" + archive, "<html>not a zip</html>");
    LocalServer server(ws.path("served"));
    ASSERT_GT(server.port(), 0);
    profile.curlPath = "/usr/bin/curl";
    profile.unzipPath = "/usr/bin/unzip";
    profile.ytDlpDownloadBase = server.url("");
    LocalServer::removeProxies(profile.appEnvironment);
    const QString support = ws.path("home/.local/share/Stemloft");
    const QString deno = support + "/deno";

    // Each failure of the Deno step keeps the new yt-dlp and leaves nothing behind.
    const std::pair<QString, QString> failures[] = {
        {"missing/", "Download failed with exit code 22."},
        {"other/", "The downloaded archive has no deno program in it."},
        {"broken/", "unzip failed with exit code 9."},
    };
    for (const auto& [folder, reason] : failures) {
        SCOPED_TRACE(reason.toStdString());
        profile.denoDownloadBase = server.url(folder);
        QFile::remove(support + "/yt-dlp");
        auto app = makeDelegate(profile);
        app->installButton->click();
        ASSERT_TRUE(waitIdle(*app, 60000));
        EXPECT_EQ(app->lastAlert->title, "Deno Install Failed");
        EXPECT_TRUE(app->lastAlert->message.contains("Deno is not: " + reason)) << app->lastAlert->message.toStdString();
        EXPECT_EQ(runSync(support + "/yt-dlp", {}).output, "2099.01.01\n");
        EXPECT_FALSE(QFileInfo::exists(deno));
        EXPECT_EQ(QDir(support).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  (QStringList{"logs", "yt-dlp"}));
    }

    profile.denoDownloadBase = server.url("good/");
    QFile::remove(support + "/yt-dlp");
    auto app = makeDelegate(profile);
    app->installButton->click();
    ASSERT_TRUE(waitIdle(*app, 60000));
    EXPECT_EQ(logLines(*app).last(), "Deno installed: " + deno) << logText(*app).toStdString();
    EXPECT_EQ(app->lastAlert->title, "yt-dlp Installed");
    EXPECT_EQ(runSync(deno, {}).output, "deno 9.9.9\n");
    EXPECT_EQ(QDir(support).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              (QStringList{"deno", "logs", "yt-dlp"}));
}
