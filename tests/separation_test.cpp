#include "separation_fixtures.h"

#include "process/ProcessRunner.h"
#include "ui/SegmentedControl.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

// A launched controller with the stand-in Demucs and a fake converter.
class Separation : public ::testing::Test {
protected:
    void SetUp() override
    {
        profile = makeTestProfile(ws);
        demucsArgs = ws.path("demucs-args");
        convArgs = ws.path("conv-args");
        sepfix::writeFakeConverter(ws, profile.converterPath, convArgs, ws.root());
        app = makeDelegate(profile);
        app->folderField->setText(ws.path("save"));
        standIn.argsFile = demucsArgs;
        sepfix::writeStandInDemucs(ws, *app, standIn);
    }
    void separate(const QString& audio)
    {
        app->setLastAudioURL(audio);
        app->startSeparation();
        ASSERT_TRUE(waitUntil([&] { return !app->process; }));
    }
    QStringList runLog() const
    {
        const QStringList lines = logLines(*app);
        return lines.mid(0, 5);
    }

    TempWorkspace ws;
    PlatformProfile profile;
    QString demucsArgs, convArgs;
    sepfix::StandIn standIn;
    std::unique_ptr<AppDelegate> app;
};

TEST_F(Separation, GuardsOnlyLogAndChangeNothing)
{
    const QString audio = ws.writeFile("song.wav", "RIFF");
    const QString python = app->managedDemucsPythonURL();
    const struct {
        std::function<void()> arrange;
        QStringList lines;
    } cases[] = {
        {[&] { app->process = new ProcessRun(); }, {"Another task is already running."}},
        {[&] { delete app->process.data(); app->setLastAudioURL(std::nullopt); },
         {"Download or choose an audio file first."}},
        {[&] { app->setLastAudioURL(ws.path("gone.m4a")); }, {"Audio file was not found: " + ws.path("gone.m4a")}},
        {[&] { app->setLastAudioURL(audio); QFile::remove(python); },
         {"Demucs is not installed.", "Click Install Demucs, then try again."}},
        {[&] { standIn.probe = "exit 1"; sepfix::writeStandInDemucs(ws, *app, standIn); },
         {"The managed Demucs environment is not compatible.", "Click Install Demucs to rebuild it with Python 3.12."}},
    };
    for (const auto& c : cases) {
        c.arrange();
        const QStringList before = logLines(*app);
        app->startSeparation();
        EXPECT_EQ(logLines(*app), before + c.lines);
        EXPECT_FALSE(app->isSeparating);
        EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(demucsArgs));
}

TEST_F(Separation, WavInCapitalsGoesToDemucsUnchangedAndTheStemsAreExported)
{
    const QString audio = ws.writeFile("music/Song.WAV", "RIFF");
    separate(audio);
    const QStringList args = readRecordedArgs(demucsArgs);
    ASSERT_EQ(args.size(), 9);
    const QString root = args.at(5);
    EXPECT_EQ(args, (QStringList{"-m", "demucs.separate", "--name", "htdemucs_6s", "--out", root, "--filename",
                                 "{stem}.{ext}", audio}));
    EXPECT_EQ(QFileInfo(root).path(), ws.path("tmp"));
    EXPECT_TRUE(QFileInfo(root).fileName().contains(
        QRegularExpression("^stemloft-demucs-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")));
    EXPECT_FALSE(QFileInfo::exists(root));

    const QString stems = ws.path("save/stems/Song");
    EXPECT_EQ(logLines(*app), (QStringList{"Separating 6stems with htdemucs_6s...", "Input: " + audio,
                                           "This can take several minutes.", "Loading model htdemucs_6s",
                                           "33%|###", "67%|#####", "100%|#######", "Encoding vocals.m4a...",
                                           "Encoding drums.m4a...", "Encoding bass.m4a...", "Encoding other.m4a...",
                                           "Encoding guitar.m4a...", "Encoding piano.m4a...",
                                           "Stem separation complete.", "Saved stems: " + stems}));
    EXPECT_EQ(app->lastAlert->title, "Stem Separation Complete");
    EXPECT_FALSE(app->isSeparating);
    EXPECT_TRUE(app->separateButton->isEnabled());
    EXPECT_EQ(ws.readFile(stems + "/piano.m4a"), "converted:wav-piano");
}

TEST_F(Separation, OtherInputsAreConvertedFirst)
{
    standIn.writeStem = "cp \"$in\" \"$dir/$s.wav\"";
    sepfix::writeStandInDemucs(ws, *app, standIn);
    for (const QString name : {"a.m4a", "b.webm", "noext"}) {
        const QString audio = ws.writeFile("music/" + name, "data");
        separate(audio);
        const QStringList args = readRecordedArgs(demucsArgs);
        ASSERT_EQ(args.size(), 9);
        EXPECT_EQ(args.last(), args.at(5) + "/demucs-input.wav");
        // Demucs read the converter's output made from the user's file.
        const QString stems = ws.path("save/stems/" + QFileInfo(name).completeBaseName());
        EXPECT_EQ(ws.readFile(stems + "/bass.m4a"), "converted:converted:data");
        EXPECT_EQ(runLog(), (QStringList{"Separating 6stems with htdemucs_6s...", "Input: " + audio,
                                         "This can take several minutes.", "Converting input to WAV for Demucs...",
                                         "Loading model htdemucs_6s"}));
        // The manifest names the user's file, not the converted input.
        EXPECT_EQ(sepfix::readJsonObject(stems + "/manifest.json")["sourceAudioPath"].toString(), audio);
    }
}

TEST_F(Separation, TheModeControlChoosesTheModel)
{
    const QString audio = ws.writeFile("song.wav", "RIFF");
    const struct { int segment; QString model; QString line; } cases[] = {
        {0, "htdemucs", "Separating 4stems with htdemucs..."},
        {1, "htdemucs_6s", "Separating 6stems with htdemucs_6s..."},
        {-1, "htdemucs_6s", "Separating 6stems with htdemucs_6s..."},
    };
    QStringList roots;
    for (const auto& c : cases) {
        app->stemModeControl->setSelectedSegment(c.segment);
        separate(audio);
        EXPECT_EQ(readRecordedArgs(demucsArgs).at(3), c.model);
        EXPECT_EQ(logLines(*app).first(), c.line);
        roots << readRecordedArgs(demucsArgs).at(5);
    }
    roots.removeDuplicates();
    EXPECT_EQ(roots.size(), 3);
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
}

TEST_F(Separation, StartFailuresCleanUpAndReEnableTheControls)
{
    const QString audio = ws.writeFile("song.m4a", "data");
    app->setLastAudioURL(audio);
    auto expectIdle = [&] {
        EXPECT_FALSE(app->isSeparating);
        EXPECT_FALSE(app->process);
        EXPECT_TRUE(app->separateButton->isEnabled());
        EXPECT_TRUE(app->stemModeControl->isEnabled());
        EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
        EXPECT_EQ(app->alertCount, 0);
    };

    ws.writeFile("fail-song.m4a", "moov atom not found\n");
    app->startSeparation();
    EXPECT_EQ(logLines(*app).last(), "Failed to start Demucs: ffmpeg failed to prepare song.m4a: moov atom not found");
    EXPECT_EQ(logLines(*app).size(), 5);  // cleared first
    expectIdle();
    EXPECT_FALSE(QFileInfo::exists(demucsArgs));

    // The probe passes, then the interpreter can no longer be executed.
    QFile::remove(ws.path("fail-song.m4a"));
    standIn.probe = "chmod 644 \"$0\"; exit 0";
    sepfix::writeStandInDemucs(ws, *app, standIn);
    app->startSeparation();
    EXPECT_TRUE(logLines(*app).last().startsWith("Failed to start Demucs: ")) << logText(*app).toStdString();
    expectIdle();
    pumpEvents(100);
    EXPECT_FALSE(QFileInfo::exists(demucsArgs));

    // A plain file where the temporary folder must go: the log is not cleared.
    sepfix::writeStandInDemucs(ws, *app, sepfix::StandIn{demucsArgs, "exit 0", 0, {}, {}});
    app->appendLog("earlier line");
    QDir(profile.tempDir).removeRecursively();
    ws.writeFile("tmp", "plain");
    app->startSeparation();
    const QStringList lines = logLines(*app);
    EXPECT_EQ(lines.at(lines.size() - 2), "earlier line");
    EXPECT_TRUE(lines.last().startsWith("Failed to start Demucs: ")) << lines.last().toStdString();
    EXPECT_FALSE(app->isSeparating);
}

TEST_F(Separation, DemucsFailureIsReportedAndLeavesNothingBehind)
{
    standIn.status = 1;
    sepfix::writeStandInDemucs(ws, *app, standIn);
    separate(ws.writeFile("song.wav", "RIFF"));
    EXPECT_EQ(logLines(*app).last(), "Demucs failed with exit code 1.");
    EXPECT_TRUE(logLines(*app).contains("100%|#######"));  // the output came before the failure
    EXPECT_EQ(app->lastAlert->title, "Stem Separation Failed");
    EXPECT_EQ(app->lastAlert->message, "Demucs failed with exit code 1.");
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(ws.path("save")));
    EXPECT_TRUE(app->separateButton->isEnabled());
}
