#include "support/AppSupport.h"
#include "base/ByteCount.h"
#include "ytdlp/YtDlpLocator.h"

#include <QFile>
#include <QPushButton>
#include <QSettings>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

TEST(YtDlpLocator, FormatsByteCountsInDecimalFileStyle)
{
    EXPECT_EQ(formatFileByteCount(0), "Zero KB");
    EXPECT_EQ(formatFileByteCount(1), "1 byte");
    EXPECT_EQ(formatFileByteCount(532), "532 bytes");
    EXPECT_EQ(formatFileByteCount(999), "999 bytes");
    EXPECT_EQ(formatFileByteCount(1000), "1 KB");
    EXPECT_EQ(formatFileByteCount(81234), "81 KB");
    EXPECT_EQ(formatFileByteCount(999'600), "1 MB");  // would read "1000 KB"
    EXPECT_EQ(formatFileByteCount(1'234'567), "1.2 MB");
    EXPECT_EQ(formatFileByteCount(3'000'000), "3 MB");
    EXPECT_EQ(formatFileByteCount(2'345'678'901), "2.35 GB");
}

TEST(YtDlpLocator, CandidatesComeInPriorityOrderWithDuplicatesDropped)
{
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    const QString sysUsr = profile.ytDlpSystemDirs.at(2);
    // Empty entries around the system folder, plus one folder of its own.
    profile.appEnvironment.insert("PATH", "::" + sysUsr + "::" + ws.path("pathbin") + ":");
    // On Linux both bundled locations are one folder.
    profile.bundleResourceDir = profile.bundleContainerDir;
    auto app = makeApp(profile, false);
    const QString managed = ws.path("home/.local/share/Stemloft/yt-dlp");

    // The stored path names the managed file through "." and "..".
    storedSettings(*app)->setValue("ytDlpPath", ws.path("home/.local/./share/x/../Stemloft/yt-dlp"));
    EXPECT_EQ(app->tools().managedYtDlpCandidates(), QStringList{managed});
    EXPECT_EQ(app->tools().ytDlpCandidates(),
              (QStringList{managed, ws.path("bundle/yt-dlp"), profile.ytDlpSystemDirs.at(0) + "/yt-dlp",
                           profile.ytDlpSystemDirs.at(1) + "/yt-dlp", sysUsr + "/yt-dlp",
                           ws.path("pathbin/yt-dlp")}));

    storedSettings(*app)->setValue("ytDlpPath", ws.path("elsewhere/yt-dlp"));
    EXPECT_EQ(app->tools().managedYtDlpCandidates(), (QStringList{managed, ws.path("elsewhere/yt-dlp")}));
    storedSettings(*app)->setValue("ytDlpPath", QString());
    EXPECT_EQ(app->tools().managedYtDlpCandidates(), QStringList{managed});

    // Without a support folder the home-relative location still counts.
    ws.writeFile("blocker", "");
    profile.appSupportBaseDir = ws.path("blocker/share");
    profile.homeRelativeAppSupport = "Library/Application Support";
    auto other = makeApp(profile, false);
    EXPECT_EQ(other->tools().managedYtDlpCandidates(),
              QStringList{ws.path("home/Library/Application Support/Stemloft/yt-dlp")});
}

TEST(YtDlpLocator, AcceptsOnlyRegularFilesAndRepairsTheExecuteBit)
{
    TempWorkspace ws;
    const QString plain = ws.writeFile("plain/yt-dlp", "#!/bin/sh\n");
    ::chmod(QFile::encodeName(plain).constData(), 0644);
    EXPECT_TRUE(ytdlp::isUsableExecutable(plain));
    EXPECT_EQ(modeOf(plain), 0755u);

    const QString folder = ws.makeDir("dir/yt-dlp");
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    EXPECT_FALSE(ytdlp::isUsableExecutable(folder));

    const QString link = ws.path("link-to-file");
    ASSERT_TRUE(QFile::link(plain, link));
    EXPECT_TRUE(ytdlp::isUsableExecutable(link));
    const QString linkToFolder = ws.path("link-to-folder");
    ASSERT_TRUE(QFile::link(folder, linkToFolder));
    EXPECT_FALSE(ytdlp::isUsableExecutable(linkToFolder));
    EXPECT_FALSE(ytdlp::isUsableExecutable(ws.path("missing")));
}

TEST(YtDlpLocator, LaunchWithoutManagedCopyOffersInstallAndForgetsStalePath)
{
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    // A copy on PATH does not count as installed.
    ws.writeScript("pathbin/yt-dlp", "exit 0");
    ws.makeDir("home/.local/share/Stemloft/yt-dlp");  // a folder, not a tool
    {
        QSettings stale(profile.settingsFile, QSettings::IniFormat);
        stale.setValue("ytDlpPath", ws.path("gone/yt-dlp"));
    }
    auto app = makeApp(profile);
    EXPECT_EQ(app->installButton->text(), "Install yt-dlp");
    EXPECT_EQ(app->installButton->toolTip(), "Install yt-dlp into the app support folder.");
    EXPECT_TRUE(app->installButton->isEnabled());
    EXPECT_FALSE(app->installedYtDlp().has_value());
    EXPECT_FALSE(storedSettings(*app)->contains("ytDlpPath"));
    EXPECT_EQ(logLines(*app).value(1), "yt-dlp was not detected. Click Install yt-dlp if downloads fail.");
}

TEST(YtDlpLocator, LaunchWithManagedCopyRecordsIt)
{
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    const QString managed = ws.writeFile("home/.local/share/Stemloft/yt-dlp", "#!/bin/sh\n");
    ::chmod(QFile::encodeName(managed).constData(), 0600);
    auto app = makeApp(profile);
    EXPECT_EQ(app->installedYtDlp(), managed);
    EXPECT_EQ(storedSettings(*app)->value("ytDlpPath").toString(), managed);
    EXPECT_EQ(app->installButton->text(), "yt-dlp Installed");
    EXPECT_EQ(app->installButton->toolTip(), managed);
    EXPECT_FALSE(app->installButton->isEnabled());
    EXPECT_EQ(modeOf(managed), 0755u);
    EXPECT_EQ(logLines(*app).value(1), "yt-dlp detected: " + managed);
}

TEST(YtDlpLocator, AManagedCopyOlderThanThirtyDaysIsPointedOut)
{
    TempWorkspace ws;
    const PlatformProfile profile = makeTestProfile(ws);
    const QString managed = ws.writeScript("home/.local/share/Stemloft/yt-dlp", "exit 0");
    const std::pair<int, QStringList> cases[] = {
        {30, {}},
        {31, {"yt-dlp is 31 days old. If downloads fail, choose Update yt-dlp."}},
    };
    for (const auto& [days, note] : cases) {
        SCOPED_TRACE(days);
        // An hour short of a further day, so the rounding is tested too.
        std::filesystem::last_write_time(managed.toStdString(), std::filesystem::file_time_type::clock::now() -
                                                                    std::chrono::hours(24 * days + 23));
        auto app = makeApp(profile);
        EXPECT_EQ(logLines(*app).mid(1, note.size() + 1), QStringList{"yt-dlp detected: " + managed} + note);
    }
    // Only the managed copy is the app's to update.
    QFile::remove(managed);
    const QString other = ws.writeScript("pathbin/yt-dlp", "exit 0");
    std::filesystem::last_write_time(other.toStdString(),
                                     std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    auto app = makeApp(profile);
    EXPECT_TRUE(logLines(*app).filter("days old").isEmpty());
}
