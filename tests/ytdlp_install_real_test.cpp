// The installer with the system's own curl, unzip and gpgv against a local
// HTTP server; nothing leaves 127.0.0.1.
#include "support/AppSupport.h"

#include "ytdlp/YtDlpInstallJob.h"

#include <QCryptographicHash>
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

QByteArray sha256Hex(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// A release signed with the test key: yt-dlp_linux, SHA2-256SUMS and its
// signature, made once with gpg.
QByteArray fixture(const QString& name)
{
    QFile file(QStringLiteral(STEMLOFT_SOURCE_DIR "/tests/data/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void serveRelease(const TempWorkspace& ws, const QString& folder)
{
    for (const QString name : {"yt-dlp_linux", "SHA2-256SUMS", "SHA2-256SUMS.sig"})
        ws.writeFile("served/" + folder + "/" + name, fixture("release/" + name));
}

}  // namespace

TEST(InstallWithRealTools, GpgvAndTheChecksumDecideWhetherYtDlpIsReplaced)
{
    if (!QFileInfo("/usr/bin/curl").isExecutable() || !QFileInfo("/usr/bin/gpgv").isExecutable())
        GTEST_SKIP() << "needs /usr/bin/curl and /usr/bin/gpgv";

    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    profile.curlPath = "/usr/bin/curl";
    profile.gpgvPath = "/usr/bin/gpgv";
    profile.ytDlpReleaseAsset = "yt-dlp_linux";
    LocalServer::removeProxies(profile.appEnvironment);
    ws.writeScript("pathbin/deno", "echo deno 1.0");

    const QByteArray evil = "#!/bin/sh\necho evil\n";
    for (const QString folder : {"good", "mismatch", "tampered", "unsigned", "unlisted"})
        serveRelease(ws, folder);
    ws.writeFile("served/mismatch/yt-dlp_linux", evil);
    // Its list names the evil file, but the signature is the real list's.
    ws.writeFile("served/tampered/yt-dlp_linux", evil);
    ws.writeFile("served/tampered/SHA2-256SUMS", sha256Hex(evil) + "  yt-dlp_linux\n");
    QFile::remove(ws.path("served/unsigned/SHA2-256SUMS.sig"));
    QFile::remove(ws.path("served/unlisted/SHA2-256SUMS"));
    LocalServer server(ws.path("served"));
    ASSERT_GT(server.port(), 0);
    const QString support = ws.path("home/.local/share/Stemloft");
    ws.writeFile("home/.local/share/Stemloft/yt-dlp", "old tool");

    const std::pair<QString, QString> cases[] = {
        {"mismatch/", "The download did not match its published checksum."},
        {"tampered/", "The download did not match its signature."},
        {"unsigned/", "The signature could not be downloaded: Download failed with exit code 22."},
        {"unlisted/", "The published checksum could not be downloaded: Download failed with exit code 22."},
        {"good/", ""},
    };
    for (const auto& [folder, message] : cases) {
        SCOPED_TRACE(folder.toStdString());
        profile.ytDlpDownloadBase = server.url(folder);
        auto app = makeApp(profile);
        YtDlpInstallJob::Params params = app->tools().ytDlpInstallParams(false);
        params.signingKey = fixture("signing-key.asc");
        app->runJob(new YtDlpInstallJob(params));
        ASSERT_TRUE(waitIdle(*app, 60000));
        const QStringList lines = logLines(*app);
        EXPECT_EQ(QDir(support).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  (QStringList{"logs", "yt-dlp"}));
        ASSERT_TRUE(app->lastAlert.has_value());
        if (!message.isEmpty()) {
            EXPECT_EQ(app->lastAlert->title, "yt-dlp Install Failed");
            EXPECT_EQ(app->lastAlert->text, message);
            EXPECT_EQ(lines.last(), message);
            EXPECT_EQ(ws.readFile(support + "/yt-dlp"), "old tool");
            continue;
        }
        EXPECT_EQ(app->lastAlert->title, "yt-dlp Installed") << lines.join('\n').toStdString();
        EXPECT_EQ(lines.filter("Good signature from \"Stemloft test signing key").size(), 1);
        EXPECT_EQ(lines.value(lines.indexOf("Verified SHA-256 and signature.") + 1), "Installed yt-dlp.");
        EXPECT_EQ(runSync(support + "/yt-dlp", {}).output, "2099.01.01\n");
    }
}

TEST(InstallWithRealTools, CurlAndUnzipPutYtDlpAndDenoInPlace)
{
    if (!QFileInfo("/usr/bin/curl").isExecutable() || !QFileInfo("/usr/bin/unzip").isExecutable() ||
        QStandardPaths::findExecutable("python3").isEmpty())
        GTEST_SKIP() << "needs /usr/bin/curl, /usr/bin/unzip and python3";

    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    serveRelease(ws, ".");
    profile.ytDlpReleaseAsset = "yt-dlp_linux";
    // The signature is another test's: the shipped key knows nothing of the test key.
    profile.gpgvPath.clear();
    const QString archive = "deno-" + profile.denoTarget + ".zip";
    writeZip(ws.makeDir("served/good") + "/" + archive, {"README.md", "deno"});
    writeZip(ws.makeDir("served/other") + "/" + archive, {"README.md", "deno-x/deno"});
    writeZip(ws.makeDir("served/mismatch") + "/" + archive, {"deno"});
    ws.writeFile("served/broken/" + archive, "<html>not a zip</html>");
    // sha256sum's line, and on Windows a PowerShell table with the digest in capitals.
    for (const QString folder : {"other", "broken"}) {
        const QByteArray digest = sha256Hex(ws.readFile("served/" + folder + "/" + archive));
        ws.writeFile("served/" + folder + "/" + archive + ".sha256sum", digest + "  " + archive.toUtf8() + "\n");
    }
    ws.writeFile("served/mismatch/" + archive + ".sha256sum", sha256Hex("another archive") + "  " + archive.toUtf8());
    ws.writeFile("served/good/" + archive + ".sha256sum",
                 "\r\nAlgorithm       Hash                                                                   Path\r\n"
                 "---------       ----                                                                   ----\r\n"
                 "SHA256          " + sha256Hex(ws.readFile("served/good/" + archive)).toUpper() +
                     "       D:\\a\\deno\\deno\\target\\release\\" + archive.toUtf8() + "\r\n\r\n");
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
        {"mismatch/", "The download did not match its published checksum."},
        {"other/", "The downloaded archive has no deno program in it."},
        {"broken/", "unzip failed with exit code 9."},
    };
    for (const auto& [folder, reason] : failures) {
        SCOPED_TRACE(reason.toStdString());
        profile.denoDownloadBase = server.url(folder);
        QFile::remove(support + "/yt-dlp");
        auto app = makeApp(profile);
        app->installButton->click();
        ASSERT_TRUE(waitIdle(*app, 60000));
        EXPECT_EQ(app->lastAlert->title, "Deno Install Failed");
        EXPECT_TRUE(app->lastAlert->text.contains("Deno is not: " + reason)) << app->lastAlert->text.toStdString();
        EXPECT_EQ(runSync(support + "/yt-dlp", {}).output, "2099.01.01\n");
        EXPECT_FALSE(QFileInfo::exists(deno));
        EXPECT_EQ(QDir(support).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  (QStringList{"logs", "yt-dlp"}));
    }

    profile.denoDownloadBase = server.url("good/");
    QFile::remove(support + "/yt-dlp");
    auto app = makeApp(profile);
    app->installButton->click();
    ASSERT_TRUE(waitIdle(*app, 60000));
    EXPECT_EQ(logLines(*app).last(), "Deno installed: " + deno) << logText(*app).toStdString();
    EXPECT_EQ(logLines(*app).filter("Verified SHA-256.").size(), 2);
    EXPECT_EQ(app->lastAlert->title, "yt-dlp Installed");
    EXPECT_EQ(runSync(deno, {}).output, "deno 9.9.9\n");
    EXPECT_EQ(QDir(support).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              (QStringList{"deno", "logs", "yt-dlp"}));
}
