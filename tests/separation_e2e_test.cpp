// Separate pressed in a running controller, with the real ffmpeg and a
// stand-in Demucs that hands the input back as every stem.
#include "support/AppSupport.h"
#include "separation_fixtures.h"

#include "base/FileOps.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#ifdef Q_OS_LINUX
#include <sys/mount.h>
#endif
#include <unistd.h>

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
