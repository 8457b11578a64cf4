#include "support/AppSupport.h"
#include "separation_fixtures.h"

#include "process/CpuCores.h"
#include "separation/SeparationProgress.h"
#include "separation/StemFiles.h"
#include "gui/widgets/SegmentedControl.h"

#include <QAction>
#include <QSettings>

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>

#include <gtest/gtest.h>

using separation::SeparationStage;

// A launched controller with the stand-in Demucs and a fake converter.
class Separation : public ::testing::Test {
protected:
    void SetUp() override
    {
        profile = makeTestProfile(ws);
        demucsArgs = ws.path("demucs-args");
        convArgs = ws.path("conv-args");
        sepfix::writeFakeConverter(ws, profile.converterPath, convArgs, ws.root());
        app = makeApp(profile);
        // The launch's own environment check must not meet the stand-in.
        ASSERT_TRUE(waitUntil([&] { return !app->isCheckingDemucs(); }));
        app->folderField->setText(ws.path("save"));
        standIn.argsFile = demucsArgs;
        sepfix::writeStandInDemucs(ws, app->tools(), standIn);
        sepfix::provideWeights(app->tools());
    }
    void separate(const QString& audio)
    {
        app->setLastAudioURL(audio);
        app->startSeparation();
        ASSERT_TRUE(waitIdle(*app));
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
    std::unique_ptr<TestApp> app;
};

TEST_F(Separation, GuardsOnlyLogAndChangeNothing)
{
    const QString audio = ws.writeFile("song.wav", "RIFF");
    const QString python = app->tools().managedDemucsPython();
    auto* hold = new HoldJob;
    const struct {
        std::function<void()> arrange;
        QStringList lines;
    } cases[] = {
        {[&] { app->setLastAudioURL(audio); app->runJob(hold); }, {"Another task is already running."}},
        {[&] { app->stopCurrentJob(); ASSERT_TRUE(waitIdle(*app)); app->setLastAudioURL(std::nullopt); },
         {"Download or choose an audio file first."}},
        {[&] { app->setLastAudioURL(ws.path("gone.m4a")); }, {"Audio file was not found: " + ws.path("gone.m4a")}},
        {[&] { app->setLastAudioURL(audio); QFile::remove(python); },
         {"Demucs is not installed.", "Click Install Demucs, then try again."}},
        {[&] { standIn.probe = "exit 1"; sepfix::writeStandInDemucs(ws, app->tools(), standIn); },
         {"The Demucs environment check failed: The check exited with status 1.",
          "The managed Demucs environment is not compatible.", "Click Install Demucs to rebuild it."}},
    };
    for (const auto& c : cases) {
        c.arrange();
        const bool held = app->isBusy();
        const QStringList before = logLines(*app);
        app->startSeparation();
        if (held) {
            EXPECT_EQ(app->currentJob(), hold);  // nothing was queued behind it
        } else {
            ASSERT_TRUE(waitIdle(*app));  // the compatibility check answers in the background
        }
        EXPECT_EQ(logLines(*app), before + c.lines);
        EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
        EXPECT_EQ(app->alertCount, 0);
    }
    EXPECT_FALSE(app->isBusy());
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
    EXPECT_FALSE(app->isBusy());
    EXPECT_TRUE(app->separateButton->isEnabled());
    EXPECT_EQ(ws.readFile(stems + "/piano.m4a"), "converted:wav-piano");
}

TEST_F(Separation, OtherInputsAreConvertedFirst)
{
    standIn.writeStem = "cp \"$in\" \"$dir/$s.wav\"";
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);
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
        {0, "htdemucs", "Separating 2stems with htdemucs..."},
        {1, "htdemucs", "Separating 4stems with htdemucs..."},
        {2, "htdemucs_6s", "Separating 6stems with htdemucs_6s..."},
        {-1, "htdemucs_6s", "Separating 6stems with htdemucs_6s..."},
    };
    QStringList roots;
    for (const auto& c : cases) {
        app->stemModeControl->setSelectedSegment(c.segment);
        separate(audio);
        EXPECT_EQ(readRecordedArgs(demucsArgs).at(3), c.model);
        EXPECT_EQ(logLines(*app).first(), c.line);
        const QStringList args = readRecordedArgs(demucsArgs);
        const qsizetype two = args.indexOf("--two-stems");
        EXPECT_EQ(two >= 0 ? args.mid(two, 2) : QStringList(),
                  c.segment == 0 ? QStringList({"--two-stems", "vocals"}) : QStringList());
        EXPECT_EQ(args.last(), audio);
        roots << args.at(5);
    }
    roots.removeDuplicates();
    EXPECT_EQ(roots.size(), 4);
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
}

TEST_F(Separation, StartFailuresCleanUpAndReEnableTheControls)
{
    const QString audio = ws.writeFile("song.m4a", "data");
    app->setLastAudioURL(audio);
    auto start = [&] {
        app->startSeparation();
        ASSERT_TRUE(waitIdle(*app));
    };
    int alerts = 0;
    auto expectIdle = [&] {
        EXPECT_FALSE(app->isBusy());
        EXPECT_TRUE(app->separateButton->isEnabled());
        EXPECT_TRUE(app->stemModeControl->isEnabled());
        EXPECT_FALSE(app->stopButton->isEnabled());
        EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
        EXPECT_EQ(app->alertCount, alerts);
    };

    // The converter refuses the file: the user's to fix, and said so. Any
    // other failure is told in the converter's own words, a full disk as one.
    const struct { QString said, alert; } refusals[] = {
        {"moov atom not found\n", "song.m4a has no audio that can be read."},
        {"[out#0/wav @ 0x1] Error writing trailer: No space left on device\n", profile.tempDir + " ran out of space."},
        {"Unknown encoder 'pcm_s16le'\nConversion failed!\n", "Conversion failed!"},
    };
    for (const auto& refusal : refusals) {
        ws.writeFile("fail-song.m4a", refusal.said.toUtf8());
        start();
        // The log keeps all the converter said.
        EXPECT_TRUE(logText(*app).endsWith("\nFailed to start Demucs: ffmpeg failed to prepare song.m4a: " +
                                           refusal.said.trimmed()))
            << logText(*app).toStdString();
        EXPECT_EQ(logLines(*app).size(), 4 + refusal.said.count('\n'));  // cleared first
        ++alerts;
        EXPECT_EQ(app->lastAlert->title, "Stem Separation Failed");
        EXPECT_EQ(app->lastAlert->text, refusal.alert);
        expectIdle();
        EXPECT_FALSE(QFileInfo::exists(demucsArgs));
    }

    // The probe passes, then the interpreter can no longer be executed.
    QFile::remove(ws.path("fail-song.m4a"));
    standIn.probe = "chmod 644 \"$0\"; exit 0";
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    start();
    EXPECT_TRUE(logLines(*app).last().startsWith("Failed to start Demucs: ")) << logText(*app).toStdString();
    expectIdle();
    EXPECT_FALSE(QFileInfo::exists(demucsArgs));

    // A plain file where the temporary folder must go: the log is not cleared.
    standIn.probe = "exit 0";
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    app->appendLog("earlier line");
    QDir(profile.tempDir).removeRecursively();
    ws.writeFile("tmp", "plain");
    start();
    const QStringList lines = logLines(*app);
    EXPECT_EQ(lines.at(lines.size() - 2), "earlier line");
    EXPECT_TRUE(lines.last().startsWith("Failed to start Demucs: ")) << lines.last().toStdString();
    expectIdle();
    EXPECT_EQ(ws.readFile("tmp"), "plain");
}

TEST_F(Separation, DemucsFailureIsReportedAndLeavesNothingBehind)
{
    standIn.status = 1;
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    separate(ws.writeFile("song.wav", "RIFF"));
    EXPECT_EQ(logLines(*app).last(), "Demucs failed with exit code 1.");
    EXPECT_TRUE(logLines(*app).contains("100%|#######"));  // the output came before the failure
    EXPECT_EQ(app->lastAlert->title, "Stem Separation Failed");
    EXPECT_EQ(app->lastAlert->text, "Demucs failed with exit code 1.");
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(ws.path("save")));
    EXPECT_TRUE(app->separateButton->isEnabled());

    // Killed by the kernel: a signal, not an exit code.
    standIn.status = 0;
    standIn.beforeExit = "kill -9 $$";
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    separate(ws.path("song.wav"));
    const QString killed = "Demucs was stopped by signal 9 (SIGKILL). The system may have run out of memory.";
    EXPECT_EQ(logLines(*app).last(), killed);
    EXPECT_EQ(app->lastAlert->text, killed);
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
}

TEST_F(Separation, TheNetworkIsBlamedOnlyWhenTheWeightsDownloadFailed)
{
    const QString checkpoints = app->tools().demucsEnvironment().value("TORCH_HOME") + "/hub/checkpoints/";
    QFile::remove(checkpoints + demucs::modelWeightFiles("htdemucs_6s").first());
    const QString traceback = "printf 'Traceback (most recent call last):\\n  File \"/env/demucs/separate.py\", "
                              "line 120, in main\\n    model = get_model_from_args(args)\\n'\n";
    const QString network = "The htdemucs_6s model could not be downloaded. Check the internet connection and try again.";
    const struct { QString said, alert; } cases[] = {
        {traceback + "echo 'urllib.error.URLError: <urlopen error [Errno -3] Temporary failure in name resolution>'",
         "Demucs failed with exit code 1. " + network},
        {traceback + "echo \"IsADirectoryError: [Errno 21] Is a directory: '/music/album'. Try a file.\"",
         "IsADirectoryError: [Errno 21] Is a directory: '/music/album'."},
        {"echo 'Could not load file /music/x.wav. Maybe it is not a supported file format? '\n"
         "echo 'When trying to load using ffmpeg, got the following error: FFmpeg could not read the file.'",
         "Could not load file /music/x.wav."},
        {traceback + "echo 'OSError: [Errno 28] No space left on device'", profile.tempDir + " ran out of space."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.alert.toStdString());
        standIn.status = 1;
        standIn.beforeExit = c.said;
        sepfix::writeStandInDemucs(ws, app->tools(), standIn);
        separate(ws.writeFile("song.wav", "RIFF"));
        EXPECT_EQ(logLines(*app).last(), c.alert.endsWith(network) ? "Hint: " + network : "Demucs failed with exit code 1.");
        EXPECT_EQ(app->lastAlert->title, "Stem Separation Failed");
        EXPECT_EQ(app->lastAlert->text, c.alert);
    }
}

TEST_F(Separation, ProgressIsReadAsDemucsPrintsItOneClimbForABagAndTheDownloadApart)
{
    const QString checkpoints = app->tools().demucsEnvironment().value("TORCH_HOME") + "/hub/checkpoints/";
    for (const QString& file : demucs::modelWeightFiles("htdemucs_ft"))
        QFile::remove(checkpoints + file);
    app->bestQualityAction->trigger();
    app->stemModeControl->setSelectedSegment(1);
    const QString downloading = ws.writeFile("hold-download", ""), separating = ws.writeFile("hold-separation", "");
    // torch.hub's bar for the first of four checkpoints, then the bag's bars; each
    // update ends in "\r" only, and the last of each stays without an end a while.
    standIn.beforeExit =
        "printf '\\r  0%%|          | 0.00/80.2M [00:00<?, ?B/s]\\r 50%%|#####     | 40.1M/80.2M [00:02<00:02, 20MB/s]'\n" +
        sepfix::holdLines(ws.path("pid1"), downloading) +
        "\nprintf '\\r100%%|##########| 80.2M/80.2M [00:04<00:00, 20MB/s]\\n'\n"
        "echo 'Selected model is a bag of 4 models. You will see that many progress bars per track.'\n"
        "for i in 1 2 3; do printf '\\r  0%%|    | 0.0/175.5 [00:00<?, ?seconds/s]\\r100%%|####| 175.5/175.5 "
        "[00:30<00:00, 5.8seconds/s]\\n'; done\n"
        "printf '\\r  0%%|    | 0.0/175.5 [00:00<?, ?seconds/s]\\r 50%%|##  | 87.7/175.5 [00:15<00:15, 5.8seconds/s]'\n" +
        sepfix::holdLines(ws.path("pid2"), separating) + "\nprintf '\\r100%%|####| 175.5/175.5 [00:30<00:00, 5.8seconds/s]\\n'";
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    app->setLastAudioURL(ws.writeFile("song.wav", "RIFF"));
    app->startSeparation();

    ASSERT_TRUE(waitUntil([&] { return app->stageLabel->text() == "Downloading the htdemucs_ft model 12%"; }, 10000))
        << app->stageLabel->text().toStdString();
    EXPECT_EQ(app->progressBar->value(), separation::separationPercent(SeparationStage::demucs, 0));
    QFile::remove(downloading);
    ASSERT_TRUE(waitUntil([&] { return app->stageLabel->text() == "Separating: Demucs 87%"; }, 10000))
        << app->stageLabel->text().toStdString();
    EXPECT_EQ(app->progressBar->value(), separation::separationPercent(SeparationStage::demucs, 0.875));
    EXPECT_FALSE(logLines(*app).contains("50%|##  | 87.7/175.5 [00:15<00:15, 5.8seconds/s]"));  // not yet ended
    QFile::remove(separating);
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(app->lastAlert->title, "Stem Separation Complete");
    // Each update is one log entry, once.
    EXPECT_EQ(logLines(*app).count("50%|##  | 87.7/175.5 [00:15<00:15, 5.8seconds/s]"), 1);
}

// Stop pressed while each step runs: the step's child goes, what the run
// half-wrote goes, and an earlier export of the same file stays as it was.
TEST_F(Separation, StopInEveryStepEndsCleanlyAndKeepsTheEarlierExport)
{
    const QString stems = ws.path("save/stems/song");
    ws.writeFile("save/stems/song/vocals.m4a", "earlier vocals");
    ws.writeFile("save/stems/song/drums.m4a", "earlier drums");
    ws.writeFile("save/stems/song/vocals.wav", "stale copy");
    ws.writeFile("save/stems/song/manifest.json", "earlier manifest");
    const auto earlier = sepfix::folderSnapshot(stems);
    const QString wav = ws.writeFile("song.wav", "RIFF");
    const QString m4a = ws.writeFile("song.m4a", "data");
    const QString probePid = ws.path("pid-probe"), probeHold = ws.path("hold-probe");
    const QString demucsPid = ws.path("pid-demucs"), demucsHold = ws.path("hold-demucs");
    const struct {
        const char* step;
        QString audio;
        QString pidFile;
        QString holdFile;
        std::function<void()> arrange;
    } cases[] = {
        {"compatibility check", wav, probePid, probeHold,
         [&] { standIn.probe = sepfix::holdLines(probePid, probeHold) + "\nexit 0"; }},
        {"input conversion", m4a, ws.path("pid-song.m4a"), ws.path("hold-song.m4a"), [] {}},
        {"Demucs", wav, demucsPid, demucsHold, [&] { standIn.beforeExit = sepfix::holdLines(demucsPid, demucsHold); }},
        // Later stems finish while drums is held, so finished temporaries lie beside it.
        {"encodes", wav, ws.path("pid-drums.wav"), ws.path("hold-drums.wav"), [&] { app->maxParallelEncodes = 3; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        standIn.probe = "exit 0";
        standIn.beforeExit.clear();
        c.arrange();
        sepfix::writeStandInDemucs(ws, app->tools(), standIn);
        ws.writeFile(QFileInfo(c.holdFile).fileName(), {});
        app->setLastAudioURL(c.audio);
        app->separateButton->click();
        ASSERT_TRUE(waitUntil([&] { return sepfix::recordedPid(c.pidFile) > 0; })) << logText(*app).toStdString();
        const qint64 pid = sepfix::recordedPid(c.pidFile);
        ASSERT_TRUE(app->stopButton->isEnabled());
        EXPECT_FALSE(app->separateButton->isEnabled());

        app->stopButton->click();
        ASSERT_TRUE(waitIdle(*app));
        EXPECT_EQ(logLines(*app).last(), "Stopped.");
        EXPECT_EQ(app->alertCount, 0);
        EXPECT_TRUE(app->separateButton->isEnabled());
        EXPECT_FALSE(app->stopButton->isEnabled());
        EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
        EXPECT_EQ(sepfix::folderSnapshot(stems), earlier);  // no temporary stem is left either
        EXPECT_FALSE(processAlive(pid));
        EXPECT_TRUE(childProcesses(QCoreApplication::applicationPid()).isEmpty());

        QFile::remove(c.holdFile);
        QFile::remove(c.pidFile);
    }
}

namespace {

QStringList encodingLines(const TestApp& app)
{
    return logLines(app).filter(QRegularExpression("^Encoding "));
}

QStringList encodingLinesFor(const QStringList& stems)
{
    QStringList lines;
    for (const QString& stem : stems)
        lines << "Encoding " + stem + ".m4a...";
    return lines;
}

}  // namespace

TEST_F(Separation, ParallelEncodesKeepTheStemOrderInTheLogAndTheManifest)
{
    const QStringList stems = SeparationMode{SeparationMode::sixStems}.stems();
    app->maxParallelEncodes = 3;
    for (const QString& stem : stems.mid(0, 3))
        ws.writeFile("hold-" + stem + ".wav", {});
    app->setLastAudioURL(ws.writeFile("song.wav", "RIFF"));
    app->startSeparation();
    auto started = [&](const QString& stem) { return sepfix::recordedPid(ws.path("pid-" + stem + ".wav")) > 0; };
    ASSERT_TRUE(waitUntil([&] { return started("vocals") && started("drums") && started("bass"); }));
    EXPECT_EQ(encodingLines(*app), encodingLinesFor(stems.mid(0, 3)));

    // The stems end in an order other than the mode's: bass frees a slot the
    // last three pass through, then drums ends, and vocals, the first, ends last.
    auto ended = [&](const QString& stem) {
        return sepfix::readConverterStarts(ws.root()).names.contains(stem + ".wav") &&
               !QFileInfo::exists(ws.path("running/" + stem + ".wav"));
    };
    QFile::remove(ws.path("hold-bass.wav"));
    ASSERT_TRUE(waitUntil([&] { return ended("piano"); }));
    QFile::remove(ws.path("hold-drums.wav"));
    ASSERT_TRUE(waitUntil([&] { return ended("drums"); }));
    QFile::remove(ws.path("hold-vocals.wav"));
    ASSERT_TRUE(waitIdle(*app));

    EXPECT_EQ(logLines(*app).last(), "Saved stems: " + ws.path("save/stems/song"));
    EXPECT_EQ(encodingLines(*app), encodingLinesFor(stems));
    // The first three start together (in no telling order); the rest one at a time.
    const sepfix::ConverterStarts starts = sepfix::readConverterStarts(ws.root());
    ASSERT_EQ(starts.names.size(), 6);
    QStringList firstThree = starts.names.mid(0, 3);
    firstThree.sort();
    EXPECT_EQ(firstThree, (QStringList{"bass.wav", "drums.wav", "vocals.wav"}));
    EXPECT_EQ(starts.names.mid(3), (QStringList{"other.wav", "guitar.wav", "piano.wav"}));
    EXPECT_EQ(starts.mostAtOnce, 3);
    const QJsonArray listed = sepfix::readJsonObject(ws.path("save/stems/song/manifest.json"))["stems"].toArray();
    QStringList kinds;
    for (const QJsonValue& entry : listed)
        kinds << entry["kind"].toString();
    EXPECT_EQ(kinds, stems);
}

TEST_F(Separation, NoMoreEncodesRunAtOnceThanTheSlotsAllow)
{
    const QStringList stems = SeparationMode{SeparationMode::sixStems}.stems();
    app->maxParallelEncodes = 2;
    for (const QString& stem : stems)
        ws.writeFile("hold-" + stem + ".wav", {});
    app->setLastAudioURL(ws.writeFile("song.wav", "RIFF"));
    app->startSeparation();
    auto startedCount = [&] {
        return std::count_if(stems.cbegin(), stems.cend(), [&](const QString& stem) {
            return sepfix::recordedPid(ws.path("pid-" + stem + ".wav")) > 0;
        });
    };
    // Every converter waits for its release; each release frees one slot.
    for (qsizetype released = 0; released < stems.size(); ++released) {
        const qsizetype expected = std::min<qsizetype>(released + 2, stems.size());
        ASSERT_TRUE(waitUntil([&] { return startedCount() == expected; })) << startedCount();
        EXPECT_EQ(encodingLines(*app), encodingLinesFor(stems.mid(0, expected)));
        QFile::remove(ws.path("hold-" + stems.at(released) + ".wav"));
    }
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "Saved stems: " + ws.path("save/stems/song"));
    EXPECT_EQ(sepfix::readConverterStarts(ws.root()).mostAtOnce, 2);
}

TEST_F(Separation, PythonChildrenGetACleanEnvironmentAndTheWeightsLiveInTheSupportFolder)
{
    QProcessEnvironment env = profile.appEnvironment;
    for (const char* name : {"PYTHONHOME", "PYTHONPATH", "PYTHONSTARTUP", "PYTHONUSERBASE", "VIRTUAL_ENV",
                             "CONDA_PREFIX", "CONDA_DEFAULT_ENV"})
        env.insert(QString::fromLatin1(name), ws.path("user-python"));
    env.insert("PIP_INDEX_URL", "http://127.0.0.1:1/mirror");
    profile.appEnvironment = env;
    app = makeApp(profile);
    ASSERT_TRUE(waitUntil([&] { return !app->isCheckingDemucs(); }));
    app->folderField->setText(ws.path("save"));
    const QString torchHome = ws.path("home/.local/share/Stemloft/torch");
    QDir(torchHome).removeRecursively();
    // The probe and the run each record their environment; the run fetches the weights.
    standIn.probe = "env > " + shellQuote(ws.path("probe-env")) + "; exit 0";
    standIn.beforeExit = "env > " + shellQuote(ws.path("run-env")) +
                         "\nmkdir -p \"$TORCH_HOME/hub/checkpoints\" && echo w > "
                         "\"$TORCH_HOME/hub/checkpoints/5c90dfd2-34c22ccb.th\"";
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    const QString firstUse = "Downloading the htdemucs_6s model (first use)...";

    separate(ws.writeFile("song.wav", "RIFF"));
    EXPECT_EQ(logLines(*app).mid(2, 2), QStringList({"This can take several minutes.", firstUse}));
    EXPECT_EQ(app->lastAlert->title, "Stem Separation Complete");
    // A bag's announcement (standard output) comes with the bars (standard error), not at the end.
    EXPECT_TRUE(ws.readFile("run-env").contains("\nPYTHONUNBUFFERED=1\n"));
    for (const QString file : {"probe-env", "run-env"}) {
        const QString recorded = QString::fromUtf8(ws.readFile(file));
        SCOPED_TRACE(file.toStdString());
        EXPECT_FALSE(recorded.contains("user-python"));
        EXPECT_TRUE(recorded.contains("\nPIP_INDEX_URL=http://127.0.0.1:1/mirror\n"));
        EXPECT_TRUE(recorded.contains("\nTORCH_HOME=" + torchHome + "\n"));
    }

    separate(ws.path("song.wav"));
    EXPECT_FALSE(logLines(*app).contains(firstUse));
}

TEST_F(Separation, FormatAndQualityChoicesReachDemucsTheConverterAndTheManifest)
{
    const QString audio = ws.writeFile("song.wav", "RIFF");
    const QString stems = ws.path("save/stems/song");
    const struct {
        int format;  // index in the Format menu
        bool best;
        int segment;
        QString model, extension, contentType, codec;
        bool int24;
    } cases[] = {
        {1, true, 1, "htdemucs_ft", "flac", "audio/flac", "flac", true},
        {2, true, 2, "htdemucs_6s", "wav", "audio/wav", "pcm_s24le", true},  // no fine-tuned six-stem model
        {0, false, 1, "htdemucs", "m4a", "audio/mp4", "aac", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extension.toStdString());
        app->formatActions.at(c.format)->trigger();
        if (app->bestQualityAction->isChecked() != c.best)
            app->bestQualityAction->trigger();
        app->stemModeControl->setSelectedSegment(c.segment);
        separate(audio);
        EXPECT_EQ(app->lastAlert->title, "Stem Separation Complete");

        const QStringList args = readRecordedArgs(demucsArgs);
        EXPECT_EQ(args.at(3), c.model);
        EXPECT_EQ(args.contains("--int24"), c.int24);
        EXPECT_EQ(args.last(), audio);
        EXPECT_EQ(readRecordedArgs(convArgs).mid(11, 2), (QStringList{"-c:a", c.codec}));
        EXPECT_EQ(logLines(*app).first(), QStringLiteral("Separating %1 with %2...")
                                              .arg(c.segment == 1 ? "4stems" : "6stems", c.model));
        EXPECT_TRUE(logLines(*app).contains("Encoding vocals." + c.extension + "..."));

        const QJsonObject manifest = sepfix::readJsonObject(stems + "/manifest.json");
        EXPECT_EQ(manifest["model"].toString(), c.model);
        const QJsonArray entries = manifest["stems"].toArray();
        ASSERT_EQ(entries.size(), c.segment == 1 ? 4 : 6);
        for (const QJsonValue& entry : entries) {
            const QString kind = entry["kind"].toString();
            EXPECT_EQ(entry["path"].toString(), "stems/song/" + kind + "." + c.extension);
            EXPECT_EQ(entry["contentType"].toString(), c.contentType);
            EXPECT_EQ(ws.readFile(stems + "/" + kind + "." + c.extension), "converted:wav-" + kind.toUtf8());
        }
    }
    // The WAV export is a listed export, not a leftover: the AAC run after it keeps it.
    EXPECT_EQ(ws.readFile(stems + "/vocals.wav"), "converted:wav-vocals");

    // The choices outlive the window.
    app->formatActions.at(1)->trigger();
    app->bestQualityAction->trigger();
    app.reset();
    app = makeApp(profile);
    EXPECT_EQ(app->exportFormat(), separation::ExportFormat::flac);
    EXPECT_TRUE(app->formatActions.at(1)->isChecked());
    EXPECT_FALSE(app->formatActions.at(0)->isChecked());
    EXPECT_TRUE(app->bestQualityAction->isChecked());
    storedSettings(*app)->setValue("exportFormat", "ogg");
    app.reset();
    app = makeApp(profile);
    EXPECT_EQ(app->exportFormat(), separation::ExportFormat::aac);
    EXPECT_TRUE(app->formatActions.at(0)->isChecked());
}

TEST_F(Separation, AnotherSongWithTheSameNameNeverOverwritesTheStems)
{
    const QString mp3 = ws.writeFile("a/song.mp3", "mp3");
    const QString wav = ws.writeFile("b/song.wav", "RIFF");
    const QString first = ws.path("save/stems/song");
    const QString second = ws.path("save/stems/song (2)");
    auto source = [](const QString& folder) {
        return sepfix::readJsonObject(folder + "/manifest.json")["sourceAudioPath"].toString();
    };
    separate(mp3);
    EXPECT_EQ(source(first), mp3);
    separate(wav);
    EXPECT_EQ(source(first), mp3);
    EXPECT_EQ(source(second), wav);
    EXPECT_TRUE(logLines(*app).contains("The stems folder " + first + " holds the stems of another file; saving to " +
                                        second + "."));
    EXPECT_EQ(logLines(*app).last(), "Saved stems: " + second);
    EXPECT_EQ(sepfix::readJsonObject(second + "/manifest.json")["stems"].toArray().at(0)["path"].toString(),
              "stems/song (2)/vocals.m4a");

    // Each file goes back to its own folder, replacing only its own stems.
    QFile::remove(first + "/piano.m4a");
    separate(mp3);
    EXPECT_EQ(logLines(*app).last(), "Saved stems: " + first);
    EXPECT_TRUE(QFileInfo::exists(first + "/piano.m4a"));
    separate(wav);
    EXPECT_EQ(logLines(*app).last(), "Saved stems: " + second);
    EXPECT_FALSE(QFileInfo::exists(ws.path("save/stems/song (3)")));

    // A third song goes on to (3); the same file reached through a link is no other song.
    const QString third = ws.writeFile("c/song.flac", "flac");
    separate(third);
    EXPECT_EQ(source(ws.path("save/stems/song (3)")), third);
    ASSERT_TRUE(QFile::link(wav, ws.path("link.wav")));
    EXPECT_EQ(separation::stemsFolderKeepingOthers(first, ws.path("link.wav")), second);
    // A manifest that cannot be read names no one: the folder is taken as before.
    ws.writeFile("save/stems/song (2)/manifest.json", "{ cut short");
    EXPECT_EQ(separation::stemsFolderKeepingOthers(first, ws.path("d/song.ogg")), second);
}

TEST_F(Separation, DemucsGetsAThreadPerUsableCoreUnlessTheUserChoseACount)
{
    const QString audio = ws.writeFile("song.wav", "RIFF");
    const auto runWith = [&](const QString& threads) {
        QProcessEnvironment environment = profile.appEnvironment;
        if (!threads.isEmpty())
            environment.insert("OMP_NUM_THREADS", threads);
        profile.appEnvironment = environment;
        app = makeApp(profile);
        ASSERT_TRUE(waitUntil([&] { return !app->isCheckingDemucs(); }));
        app->folderField->setText(ws.path("save"));
        standIn.probe = "echo 'stemloft-device: cpu'; exit 0";
        standIn.beforeExit = "echo \"${OMP_NUM_THREADS-unset} ${MKL_NUM_THREADS-unset}\" > " +
                             shellQuote(ws.path("threads"));
        sepfix::writeStandInDemucs(ws, app->tools(), standIn);
        separate(audio);
    };
    runWith({});
    const int cores = cpu::usableCores();
    EXPECT_EQ(ws.readFile("threads"), QString("%1 %1\n").arg(cores).toUtf8());
    EXPECT_EQ(logLines(*app).at(2), QString("Device: CPU (%1 %2)").arg(cores).arg(cores == 1 ? "thread" : "threads"));

    runWith("3");
    EXPECT_EQ(ws.readFile("threads"), "3 unset\n");
    EXPECT_EQ(logLines(*app).at(2), "Device: CPU (3 threads)");
}
