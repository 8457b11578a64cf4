// The stored choices: typed values over the keys earlier versions wrote.
#include "session/Settings.h"
#include "support/TestSupport.h"

#include <QSettings>

#include <gtest/gtest.h>

namespace {

struct SettingsTest : ::testing::Test {
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    // The file as another version of the program reads and writes it.
    std::unique_ptr<QSettings> file() { return std::make_unique<QSettings>(profile.settingsFile, QSettings::IniFormat); }
};

}  // namespace

TEST_F(SettingsTest, EachValueIsStoredUnderItsKeyAsBefore)
{
    {
        Settings settings(profile);
        settings.setYtDlpPath(QStringLiteral("/opt/yt-dlp"));
        settings.setCookiesBrowser(QStringLiteral("Firefox"));
        settings.setSaveFolder(QStringLiteral("/music"));
        settings.setExportFormat(separation::ExportFormat::flac);
        settings.setBestQualityModel(true);
        settings.setSeparateAfterDownload(true);
    }
    auto stored = file();
    EXPECT_EQ(stored->value("ytDlpPath").toString(), "/opt/yt-dlp");
    EXPECT_EQ(stored->value("cookiesFromBrowser").toString(), "firefox");
    EXPECT_EQ(stored->value("saveFolder").toString(), "/music");
    EXPECT_EQ(stored->value("exportFormat").toString(), "flac");
    EXPECT_TRUE(stored->value("bestQualityModel").toBool());
    EXPECT_TRUE(stored->value("separateAfterDownload").toBool());
    EXPECT_EQ(stored->allKeys().size(), 6);

    // And read back by the next start.
    Settings next(profile);
    EXPECT_EQ(next.ytDlpPath(), "/opt/yt-dlp");
    EXPECT_EQ(next.cookiesBrowser(), "firefox");
    EXPECT_EQ(next.saveFolder(), QStringLiteral("/music"));
    EXPECT_EQ(next.exportFormat(), separation::ExportFormat::flac);
    EXPECT_TRUE(next.bestQualityModel());
    EXPECT_TRUE(next.separateAfterDownload());

    // Clearing removes the key rather than storing an empty value.
    next.clearYtDlpPath();
    next.setCookiesBrowser(QString());
    EXPECT_FALSE(file()->contains("ytDlpPath"));
    EXPECT_FALSE(file()->contains("cookiesFromBrowser"));
}

TEST_F(SettingsTest, MissingOrForeignValuesGiveTheDefaults)
{
    EXPECT_EQ(Settings(profile).exportFormat(), separation::ExportFormat::aac);
    EXPECT_FALSE(Settings(profile).saveFolder().has_value());
    EXPECT_FALSE(Settings(profile).bestQualityModel());

    {
        auto stored = file();
        stored->setValue("exportFormat", "ogg");
        stored->setValue("saveFolder", QStringList{"/a", "/b"});  // a list is no folder
    }
    Settings settings(profile);
    EXPECT_EQ(settings.exportFormat(), separation::ExportFormat::aac);
    EXPECT_FALSE(settings.saveFolder().has_value());
}
