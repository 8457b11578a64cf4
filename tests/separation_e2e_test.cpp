// Separate pressed in a running controller, with the real ffmpeg and a
// stand-in Demucs that hands the input back as every stem.
#include "separation_fixtures.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

TEST(SeparationEndToEnd, SeparateProducesSixAacStemsAndAMatchingManifest)
{
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    profile.converterPath = "/usr/bin/ffmpeg";
    auto app = makeDelegate(profile);
    sepfix::StandIn standIn;
    standIn.argsFile = ws.path("demucs-args");
    standIn.writeStem = "cp \"$in\" \"$dir/$s.wav\"";
    sepfix::writeStandInDemucs(ws, *app, standIn);

    const QString audio = ws.path("music/Live at the Hall: Part 1.m4a");
    QDir().mkpath(ws.path("music"));
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=330:sample_rate=44100:duration=4", "-ac", "2",
                                "-c:a", "aac", "-b:a", "128k", audio}));
    app->folderField->setText(ws.path("save"));
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
