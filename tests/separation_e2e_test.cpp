// Separate pressed in a running controller, with the real ffmpeg and a
// stand-in Demucs that hands the input back as every stem.
#include "support/AppSupport.h"
#include "separation_fixtures.h"

#include "base/FileOps.h"
#include "separation/SeparationProgress.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#ifdef Q_OS_LINUX
#include <sys/mount.h>
#endif
#include <unistd.h>

namespace {

// A launched controller with the real ffmpeg, a stand-in Demucs that hands
// the input back as every stem, and "save" as the save folder.
struct SeparationEndToEnd : ::testing::Test {
    // adjust changes the profile before the launch.
    explicit SeparationEndToEnd(const std::function<void(PlatformProfile&)>& adjust = {})
    {
        profile.converterPath = "/usr/bin/ffmpeg";
        if (adjust)
            adjust(profile);
        app = makeApp(profile);
    }

    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    std::unique_ptr<TestApp> app;
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

// A name the file system holds but UTF-8 cannot: from the command line and
// dropped on the window, the file is found, separated and named in the
// manifest and in JSON as it is ("\\udcff" for the byte 0xff, as Python writes it).
TEST_F(SeparationEndToEnd, AFileNameThatIsNotUtf8IsSeparatedFromTheCommandLineAndADrop)
{
    const QByteArray raw = QFile::encodeName(ws.makeDir("music")) + "/bad\xff\xfename.m4a";
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=330:duration=1", "-ac", "2", "-c:a", "aac",
                                ws.path("music/plain.m4a")}));
    ASSERT_EQ(std::rename(QFile::encodeName(ws.path("music/plain.m4a")).constData(), raw.constData()), 0);
    // Qt could not remove it with the workspace.
    const std::unique_ptr<const char, int (*)(const char*)> removal(raw.constData(), ::unlink);
    const QString file = fileops::decodePath(raw);
    const QString stems = ws.path("save/stems/bad\uFFFD\uFFFDname");

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    env.insert("HOME", profile.homeDir);
    env.insert("XDG_DATA_HOME", profile.appSupportBaseDir);
    env.insert("XDG_CONFIG_HOME", ws.makeDir("config"));
    env.insert("TMPDIR", profile.tempDir);
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(ws.path("music"));
    // Only a shell can hand over an argument that is not UTF-8.
    program.start("/bin/sh", {"-c", "exec \"$0\" separate \"$(printf 'bad\\377\\376name.m4a')\" --json --to \"$1\"",
                              STEMLOFT_BINARY, ws.path("save")});
    ASSERT_TRUE(program.waitForFinished(60000));
    const QByteArray json = program.readAllStandardOutput();
    EXPECT_EQ(program.exitCode(), 0) << json.toStdString() << program.readAllStandardError().toStdString();
    EXPECT_TRUE(json.contains("\"input\":\"" + ws.path("music").toUtf8() + "/bad\\udcff\\udcfename.m4a\"")) << json.toStdString();
    const QJsonObject result = QJsonDocument::fromJson(json).object();
    EXPECT_EQ(result["input"].toString(), file);
    EXPECT_EQ(result["stemsFolder"].toString(), stems);
    EXPECT_EQ(sepfix::readJsonObject(stems + "/manifest.json")["sourceAudioPath"].toString(), file);

    QDir(stems).removeRecursively();
    app->handleDrop({QUrl::fromEncoded("file://" + raw.toPercentEncoding("/"))}, QString());
    EXPECT_EQ(app->lastAudioURL(), file);
    app->separateButton->click();
    ASSERT_TRUE(waitIdle(*app, 60000));
    ASSERT_TRUE(app->lastAlert.has_value()) << logText(*app).toStdString();
    EXPECT_EQ(app->lastAlert->title, "Stem Separation Complete") << logText(*app).toStdString();
    EXPECT_TRUE(logLines(*app).contains("Input: " + QFile::decodeName(raw)));  // shown as a chooser shows it
    EXPECT_EQ(sepfix::readJsonObject(stems + "/manifest.json")["sourceAudioPath"].toString(), file);
}

// The temporary folder on a small disk (a tmpfs in a mount namespace of the
// test's own): the shortage is found before the work, and a disk that fills
// during it, under the converter or under Python, is named as such.
TEST_F(SeparationEndToEnd, AFullTemporaryDiskIsNamedBeforeAndDuringTheRun)
{
#ifndef Q_OS_LINUX
    GTEST_SKIP() << "needs Linux's private mount namespaces";
#else
    if (qEnvironmentVariableIsEmpty("STEMLOFT_SMALL_DISK")) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        QProcess again;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("STEMLOFT_SMALL_DISK", "1");
        again.setProcessEnvironment(env);
        again.setProcessChannelMode(QProcess::MergedChannels);
        again.start("unshare", {"--mount", "--propagation", "private", QCoreApplication::applicationFilePath(),
                                QString("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name())});
        ASSERT_TRUE(again.waitForFinished(120000));
        const QByteArray out = again.readAll();
        if (out.startsWith("unshare:") || out.contains("[  SKIPPED ]"))
            GTEST_SKIP() << "no private mount here: " << out.left(200).toStdString();
        EXPECT_EQ(again.exitCode(), 0) << out.toStdString();
        return;
    }
    if (::mount("tmpfs", QFile::encodeName(profile.tempDir).constData(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    const QByteArray mountPoint = QFile::encodeName(profile.tempDir);
    const std::unique_ptr<const char, void (*)(const char*)> unmount(mountPoint.constData(),
                                                                       [](const char* path) { ::umount2(path, MNT_DETACH); });
    const QString tmp = profile.tempDir;
    QDir().mkpath(ws.path("in"));
    const auto separate = [&](const QString& input) {
        app->setLastAudioURL(input);
        app->separateButton->click();
        EXPECT_TRUE(waitIdle(*app, 60000));
        EXPECT_EQ(app->lastAlert->title, "Stem Separation Failed");
        EXPECT_TRUE(sepfix::outputRoots(tmp).isEmpty());
        return app->lastAlert->text;
    };

    // Six stems of 20 s need about 25 MB there.
    const QString song = ws.path("in/song.m4a");
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=330:duration=20", "-ac", "2", "-c:a", "aac", song}));
    const QRegularExpression shortage("^There is not enough free space in " + QRegularExpression::escape(tmp) +
                                      ": about (\\d+) MB needed, (\\d) MB free\\.$");
    const QRegularExpressionMatch before = shortage.match(separate(song));
    ASSERT_TRUE(before.hasMatch()) << app->lastAlert->text.toStdString();
    EXPECT_GE(before.captured(1).toInt(), 24);
    EXPECT_FALSE(QFileInfo::exists(standIn.argsFile));

    // Eight channels at 96 kHz: the estimate (stereo at 44.1 kHz) fits, the real conversion does not.
    const QString wide = ws.path("in/wide.flac");
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=330:sample_rate=96000:duration=3", "-ac", "8", wide}));
    EXPECT_TRUE(separate(wide).startsWith(tmp + " ran out of space: about 4 MB needed, 0 MB free."))
        << app->lastAlert->text.toStdString();

    // Demucs (here Python itself) fills the disk while it writes the stems.
    const QString shortSong = ws.path("in/short.m4a");
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=330:duration=1", "-ac", "2", "-c:a", "aac", shortSong}));
    standIn.status = 1;
    standIn.beforeExit = "python3 -c \"open('$dir/big', 'wb').write(bytes(8000000))\"";
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    const QString full = separate(shortSong);
    EXPECT_TRUE(full.startsWith(tmp + " ran out of space: about 2 MB needed, 0 MB free.")) << full.toStdString();
    EXPECT_TRUE(logText(*app).contains("OSError: [Errno 28] No space left on device"));
#endif
}

namespace {

// A run whose recordings are long past a few seconds: parts of 2 s that
// overlap by half a second, exported as WAV so the stems can be read back.
struct LongRecordingRun : SeparationEndToEnd {
    LongRecordingRun()
        : SeparationEndToEnd([](PlatformProfile& p) {
              p.longRecordingSeconds = 3;
              p.partSeconds = 2;
              p.partOverlapSeconds = 0.5;
          })
    {
    }

    void SetUp() override
    {
        SeparationEndToEnd::SetUp();
        sepfix::provideWeights(app->tools());
        app->formatActions.at(2)->trigger();
    }
    // 7 s of 16-bit stereo, each channel its own tone.
    QString recording()
    {
        const QString wav = ws.path("music/mix.wav");
        QDir().mkpath(ws.path("music"));
        EXPECT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i",
                                    "aevalsrc=0.6*sin(2*PI*331*t)|0.4*sin(2*PI*547*t+1):s=44100:d=7", "-c:a",
                                    "pcm_s16le", wav}));
        return wav;
    }
};

// The frames of a WAV ffmpeg reads, as 32-bit integers (16-bit samples
// shifted up); empty when it cannot.
QList<qint32> samples32(const QString& file)
{
    QProcess p;
    p.start("/usr/bin/ffmpeg", {"-nostdin", "-loglevel", "error", "-i", file, "-f", "s32le", "-"});
    p.waitForFinished(60000);
    const QByteArray raw = p.readAllStandardOutput();
    QList<qint32> values(raw.size() / 4);
    std::memcpy(values.data(), raw.constData(), size_t(values.size()) * 4);
    return values;
}

}  // namespace

// Demucs gets every part in one run and writes each part's stems apart;
// each joined stem is the input again, frame for frame, and the progress
// climbs once across the parts.
TEST_F(LongRecordingRun, EveryStemIsJoinedBackToTheInputsLength)
{
    const QString wav = recording();
    QList<int> percents;
    app->setLastAudioURL(wav);
    app->separateButton->click();
    ASSERT_NE(app->currentJob(), nullptr);
    QObject::connect(app->currentJob(), &Job::progress, [&](int percent) { percents << percent; });
    ASSERT_TRUE(waitIdle(*app, 120000));
    ASSERT_EQ(app->lastAlert->title, "Stem Separation Complete") << logText(*app).toStdString();

    EXPECT_TRUE(logLines(*app).contains("Long recording: separating in 5 parts.")) << logText(*app).toStdString();
    const QStringList args = readRecordedArgs(standIn.argsFile);
    const qsizetype filename = args.indexOf("--filename");
    ASSERT_GE(filename, 0);
    EXPECT_EQ(args.at(filename + 1), "{track}/{stem}.{ext}");
    const QStringList tracks = args.mid(args.size() - 5);
    for (qsizetype k = 0; k < tracks.size(); ++k)
        EXPECT_EQ(QFileInfo(tracks[k]).fileName(), QString("part-%1.wav").arg(k + 1, 3, 10, QChar('0')));
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());

    const QList<qint32> input = samples32(wav);
    ASSERT_EQ(input.size(), 7 * 44100 * 2);
    const qint64 overlap = 44100 / 2, stride = 2 * 44100 - overlap;
    for (const QString& stem : SeparationMode{SeparationMode::sixStems}.stems()) {
        SCOPED_TRACE(stem.toStdString());
        const QList<qint32> joined = samples32(ws.path("save/stems/mix/" + stem + ".wav"));
        ASSERT_EQ(joined.size(), input.size());
        qint64 worst = 0, worstOutside = 0;
        for (qsizetype i = 0; i < input.size(); ++i) {
            const qint64 frame = i / 2, intoPart = frame % stride;
            const bool inOverlap = frame >= stride && intoPart < overlap;
            const qint64 off = std::llabs(qint64(joined[i]) - input[i]) >> 16;  // in 16-bit steps
            (inOverlap ? worst : worstOutside) = std::max(inOverlap ? worst : worstOutside, off);
        }
        EXPECT_EQ(worstOutside, 0);
        EXPECT_LE(worst, 1);
    }

    // Demucs's share climbs once: never back, and all the way.
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << QStringList([&] {
        QStringList l;
        for (int p : percents) l << QString::number(p);
        return l;
    }()).join(' ').toStdString();
    const int demucsDone = separation::separationPercent(separation::SeparationStage::demucs, 1);
    EXPECT_TRUE(percents.contains(demucsDone));
    // Each part's bars move it on: many steps, not one part's three.
    EXPECT_GE(std::count_if(percents.begin(), percents.end(), [&](int p) { return p > 5 && p < demucsDone; }), 12);
    EXPECT_EQ(percents.last(), 100);
}

// Stop while the recording is cut and while the stems are joined: the run
// ends as a stop, the temporary folder is empty and the earlier export stays.
// A stem Demucs wrote malformed fails the run and names the part.
TEST_F(LongRecordingRun, StopsAndBrokenPartsEndTheRunCleanly)
{
    const QString wav = recording();
    const QString stems = ws.path("save/stems/mix");
    ws.writeFile("save/stems/mix/vocals.wav", "earlier vocals");
    ws.writeFile("save/stems/mix/manifest.json", "earlier manifest");
    const auto earlier = sepfix::folderSnapshot(stems);
    for (const QString stage : {"Separating: Splitting", "Separating: Joining parts"}) {
        SCOPED_TRACE(stage.toStdString());
        QFile::remove(standIn.argsFile);
        app->setLastAudioURL(wav);
        app->separateButton->click();
        ASSERT_NE(app->currentJob(), nullptr);
        QObject::connect(app->currentJob(), &Job::stage, app->currentJob(), [&, stage](const QString& text) {
            if (text == stage)
                app->stopButton->click();
        });
        ASSERT_TRUE(waitIdle(*app, 60000));
        EXPECT_EQ(logLines(*app).last(), "Stopped.");
        EXPECT_EQ(QFileInfo::exists(standIn.argsFile), stage.contains("Joining"));  // Demucs ran only before a join
        EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
        EXPECT_EQ(sepfix::folderSnapshot(stems), earlier);
    }

    standIn.writeStem = "case $dir in */part-002) printf 'RIFFjunk' > \"$dir/$s.wav\" ;; *) cp \"$in\" \"$dir/$s.wav\" ;; esac";
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    app->setLastAudioURL(wav);
    app->separateButton->click();
    ASSERT_TRUE(waitIdle(*app, 60000));
    EXPECT_EQ(app->lastAlert->title, "Stem Separation Failed");
    EXPECT_EQ(app->lastAlert->text, "Failed to join the parts of bass.wav: part-002/bass.wav: not a WAV file");
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
    EXPECT_EQ(sepfix::folderSnapshot(stems), earlier);
}
