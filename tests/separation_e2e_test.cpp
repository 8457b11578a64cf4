// Separate pressed in a running controller, with the real ffmpeg and a
// stand-in Demucs that hands the input back as every stem.
#include "support/AppSupport.h"
#include "separation_fixtures.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

namespace {

// A launched controller with the real ffmpeg, a stand-in Demucs that hands
// the input back as every stem, and "save" as the save folder.
struct SeparationEndToEnd : ::testing::Test {
    TempWorkspace ws;
    PlatformProfile profile = [this] {
        PlatformProfile p = makeTestProfile(ws);
        p.converterPath = "/usr/bin/ffmpeg";
        return p;
    }();
    std::unique_ptr<TestApp> app = makeApp(profile);
    sepfix::StandIn standIn;

    void SetUp() override
    {
        standIn.argsFile = ws.path("demucs-args");
        standIn.writeStem = "cp \"$in\" \"$dir/$s.wav\"";
        sepfix::writeStandInDemucs(ws, app->tools(), standIn);
        app->folderField->setText(ws.path("save"));
    }
};

}  // namespace

TEST_F(SeparationEndToEnd, SeparateProducesSixAacStemsAndAMatchingManifest)
{

    const QString audio = ws.path("music/Live at the Hall: Part 1.m4a");
    QDir().mkpath(ws.path("music"));
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=330:sample_rate=44100:duration=4", "-ac", "2",
                                "-c:a", "aac", "-b:a", "128k", audio}));
    app->setLastAudioURL(audio);
    ASSERT_TRUE(app->separateButton->isEnabled());
    app->separateButton->click();
    ASSERT_TRUE(waitUntil([&] { return app->alertCount > 0; }, 120000)) << logText(*app).toStdString();

    const QString stemsDir = ws.path("save/stems/Live at the Hall_ Part 1");
    EXPECT_EQ(app->lastAlert->title, "Stem Separation Complete");
    EXPECT_EQ(logLines(*app).last(), "Saved stems: " + stemsDir);
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());

    const QJsonObject manifest = sepfix::readJsonObject(stemsDir + "/manifest.json");
    EXPECT_EQ(manifest["model"].toString(), "htdemucs_6s");
    EXPECT_EQ(manifest["sourceAudioPath"].toString(), audio);
    const QJsonArray stems = manifest["stems"].toArray();
    ASSERT_EQ(stems.size(), 6);
    for (const QJsonValue& value : stems) {
        const QJsonObject stem = value.toObject();
        const QString file = ws.path("save/" + stem["path"].toString());
        SCOPED_TRACE(file.toStdString());
        EXPECT_EQ(stem["size"].toInteger(), QFileInfo(file).size());
        EXPECT_GT(stem["size"].toInteger(), 0);
        const auto facts = sepfix::probeAudio(file);
        EXPECT_EQ(facts.value("codec_name"), "aac");
        EXPECT_EQ(facts.value("sample_rate"), "44100");
        EXPECT_EQ(facts.value("channels"), "2");
    }
    EXPECT_EQ(QDir(stemsDir).entryList(QDir::Files | QDir::Hidden).size(), 7);
}

// Files the real ffmpeg cannot read: the alert says it is the file, and the
// log keeps ffmpeg's reason. Demucs never runs.
TEST_F(SeparationEndToEnd, InputsWithoutReadableAudioAreReportedAsSuch)
{

    const QString silentMovie = ws.path("in/silent film.mp4");
    QDir().mkpath(ws.path("in"));
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "color=c=black:s=64x48:d=1", "-c:v", "mpeg4", silentMovie}));
    const QString inputs[] = {ws.writeFile("in/notes.mp3", "not audio at all\n"), ws.writeFile("in/empty.mp3", ""),
                              ws.writeFile("in/empty.wav", ""), silentMovie};
    for (const QString& input : inputs) {
        const QString name = QFileInfo(input).fileName();
        SCOPED_TRACE(name.toStdString());
        const int alerts = app->alertCount;
        app->setLastAudioURL(input);
        app->separateButton->click();
        ASSERT_TRUE(waitIdle(*app, 60000));
        ASSERT_EQ(app->alertCount, alerts + 1);
        EXPECT_EQ(app->lastAlert->title, "Stem Separation Failed");
        EXPECT_EQ(app->lastAlert->text, name + " has no audio that can be read.");
        const QString reason = "Failed to start Demucs: ffmpeg failed to prepare " + name + ": ";
        // ffmpeg's reason may run over several lines.
        const QString log = logText(*app);
        EXPECT_GT(log.size() - log.lastIndexOf("\n" + reason), reason.size() + 10) << log.toStdString();
        EXPECT_NE(log.lastIndexOf("\n" + reason), -1);
    }
    EXPECT_FALSE(QFileInfo::exists(standIn.argsFile));
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(ws.path("save/stems")));
}
