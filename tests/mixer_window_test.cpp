// The mixer window as a musician meets it: opened from the main window,
// driven from the keyboard, its saved mix against the command line's, and
// what it really plays on a PulseAudio server of the test's own.
#include "support/AppSupport.h"

#include "gui/mixer/MixerController.h"
#include "gui/mixer/MixerWindow.h"
#include "gui/mixer/WaveformView.h"
#include "mixer/StemFolder.h"
#include "mixer/StemLoader.h"
#include "separation/Manifest.h"
#include "separation_fixtures.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>

namespace {

// ---- a PulseAudio server with a null sink ----------------------------------

// Qt picks its audio server once per process, at the first use of
// QMediaDevices: a test either plays to the server below or to none.
enum class Backend { unset, server, none };
Backend backend = Backend::unset;

struct AudioServer {
    QTemporaryDir dir;
    qint64 pid = 0;
    QString address;
    ~AudioServer()
    {
        if (pid > 0)
            ::kill(pid_t(pid), SIGTERM);
    }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PULSE_SERVER", address);
        return env;
    }
};

std::unique_ptr<AudioServer> startAudioServer()
{
    if (!QFileInfo::exists("/usr/bin/pulseaudio"))
        return nullptr;
    auto server = std::make_unique<AudioServer>();
    const QString socket = server->dir.filePath("native");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", server->dir.path());
    env.insert("PULSE_RUNTIME_PATH", server->dir.filePath("runtime"));
    env.insert("HOME", server->dir.path());
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProgram("/usr/bin/pulseaudio");
    // As root it runs as a user's server only when told so.
    process.setArguments({"--daemonize=no", "--exit-idle-time=-1", "-n", "--system=no", "--use-pid-file=no",
                          "--load=module-null-sink sink_name=stemloft_test",
                          "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket});
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(server->dir.filePath("log"));
    if (!process.startDetached(&server->pid))
        return nullptr;
    server->address = "unix:" + socket;
    const bool up = waitUntil(
        [&] {
            return runSync("/usr/bin/pactl", {"set-default-sink", "stemloft_test"}, server->environment()).status == 0;
        },
        10000);
    return up ? std::move(server) : nullptr;
}

// The server this process plays to; null when there is none.
const AudioServer* useAudioServer()
{
    static std::unique_ptr<AudioServer> server;
    if (backend == Backend::unset) {
        server = startAudioServer();
        if (server)
            qputenv("PULSE_SERVER", server->address.toUtf8());
        backend = Backend::server;
    }
    return server.get();
}

// The tone's amplitude at frequency in mono samples (full scale 1).
double toneLevel(const std::vector<double>& samples, double frequency, int rate = 44100)
{
    const double w = 2 * M_PI * frequency / rate;
    const double coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (double x : samples) {
        const double s = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2 * std::sqrt(std::max(0.0, power)) / double(samples.size());
}

// The left channel of 16-bit stereo, from first (a frame) for frames frames.
std::vector<double> leftChannel(const QByteArray& raw, qint64 first, qint64 frames)
{
    const auto* samples = reinterpret_cast<const qint16*>(raw.constData());
    const qint64 total = raw.size() / 4;
    std::vector<double> out;
    for (qint64 i = first; i < std::min(total, first + frames); ++i)
        out.push_back(samples[2 * i] / 32768.0);
    return out;
}

// A file decoded by ffmpeg to 44.1 kHz 16-bit stereo.
QByteArray decodeRaw(const QString& path)
{
    QProcess p;
    p.start("/usr/bin/ffmpeg", {"-nostdin", "-loglevel", "error", "-i", path, "-f", "s16le", "-ac", "2", "-ar",
                                "44100", "-"});
    p.waitForFinished(60000);
    return p.readAllStandardOutput();
}

// ---- the stems --------------------------------------------------------------

struct Tone {
    QString name;
    double frequency;
    double level;
};

struct MixerTest : ::testing::Test {
    TempWorkspace ws;
    PlatformProfile profile = [this] {
        PlatformProfile p = makeTestProfile(ws);
        p.converterPath = "/usr/bin/ffmpeg";
        return p;
    }();

    // save/stems/Song: a FLAC sine of each tone and a manifest naming them in order.
    QString makeStems(const QList<Tone>& tones, double seconds = 4)
    {
        const QString folder = ws.makeDir("save/stems/Song");
        separation::Manifest manifest;
        manifest.createdAt = QDateTime::currentDateTimeUtc();
        manifest.mode = "6 tracks";
        manifest.model = "htdemucs_6s";
        manifest.sourceAudioPath = "Song.m4a";
        for (const Tone& tone : tones) {
            const QString file = folder + "/" + tone.name + ".flac";
            const QString wave = QString("%1*sin(2*PI*%2*t)").arg(tone.level).arg(tone.frequency);
            EXPECT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", QString("aevalsrc=%1|%1:s=44100:d=%2").arg(wave).arg(seconds),
                                        "-c:a", "flac", file}));
            manifest.stems.append({tone.name, "stems/Song/" + tone.name + ".flac", QFileInfo(file).size(), "audio/flac"});
        }
        ws.writeFile("save/stems/Song/manifest.json", separation::manifestJson(manifest));
        return folder;
    }

    MixerWindow* openAndDecode(TestApp& app, const QString& folder)
    {
        MixerWindow* mixer = app.openMixer(folder);
        if (!mixer)
            return nullptr;
        QApplication::setActiveWindow(mixer);
        waitUntil([&] { return mixer->controller().loader().isComplete(); }, 30000);
        return mixer;
    }

    static bool waitSaved(MixerWindow* mixer)
    {
        return waitUntil([&] { return !mixer->controller().isSaving(); }, 60000);
    }
};

QStringList cacheFolders(const QString& tempDir)
{
    return QDir(tempDir).entryList({mixer::cacheFolderPrefix + "*"}, QDir::Dirs);
}

TEST_F(MixerTest, OpensFromADropOrNamesWhyNotAndClosingRemovesTheDecodedStems)
{
    const QString folder = makeStems({{"vocals", 440, 0.3}, {"drums", 1000, 0.3}, {"bass", 110, 0.3}});
    auto app = makeApp(profile);
    ASSERT_FALSE(app->window->findChild<QPushButton*>("playStemsButton")->isEnabled());

    // A folder without a manifest: the reason readStemFolder gives, no window.
    const QString empty = ws.makeDir("save/stems/Empty");
    EXPECT_EQ(app->openMixer(empty), nullptr);
    ASSERT_TRUE(app->lastAlert);
    EXPECT_EQ(app->lastAlert->text, std::get<QString>(mixer::readStemFolder(empty)));

    // A dropped stems folder opens the mixer, whatever else is dropped with it.
    app->handleDrop({QUrl::fromLocalFile(folder)}, folder);
    ASSERT_EQ(app->mixerWindows().size(), 1);
    MixerWindow* mixer = app->mixerWindows().first();
    EXPECT_EQ(mixer->windowTitle(), QStringLiteral("Stemloft Mixer — Song"));
    QStringList names;
    for (const MixerWindow::Row& row : mixer->rows())
        names << row.name->text() + "/" + row.volume->accessibleName() + "/" + row.waveform->accessibleName();
    EXPECT_EQ(names, QStringList({"vocals/vocals volume/vocals waveform", "drums/drums volume/drums waveform",
                                  "bass/bass volume/bass waveform"}));
    EXPECT_EQ(mixer->findChild<QLabel*>("statusLabel")->text(), QStringLiteral("Decoding…"));
    ASSERT_TRUE(waitUntil([&] { return mixer->controller().loader().isComplete(); }, 30000));
    const QStringList entries = mixer->findChild<LogView*>("logView")->entries();
    EXPECT_EQ(entries.filter(QRegularExpression("^Ready to play after \\d+\\.\\d\\d s\\.$")).size(), 1);
    EXPECT_EQ(entries.filter(QRegularExpression("^Decoded 3 stems \\(0:04\\) in \\d+\\.\\d\\d s\\.$")).size(), 1)
        << entries.join('\n').toStdString();
    EXPECT_TRUE(app->urlField->text().isEmpty()) << "the drop's text was taken as links too";

    // Mouse on the waveform: a click seeks there, a drag selects the loop.
    WaveformView* wave = mixer->rows()[1].waveform;
    const qint64 length = mixer->controller().length();
    ASSERT_EQ(length, 4 * 44100);
    const int w = wave->width();
    const qint64 tolerance = length / w + 1;
    QTest::mouseClick(wave, Qt::LeftButton, {}, QPoint(w / 2, wave->height() / 2));
    EXPECT_NEAR(double(mixer->controller().position()), length / 2.0, double(tolerance));
    QTest::mousePress(wave, Qt::LeftButton, {}, QPoint(w / 4, 5));
    QTest::mouseMove(wave, QPoint(w / 2, 5));
    QTest::mouseRelease(wave, Qt::LeftButton, {}, QPoint(3 * w / 4, 5));
    EXPECT_NEAR(double(mixer->controller().loopStart()), length / 4.0, double(tolerance));
    EXPECT_NEAR(double(mixer->controller().loopEnd()), 3 * length / 4.0, double(tolerance));

    ASSERT_EQ(cacheFolders(profile.tempDir).size(), 1);
    mixer->close();
    EXPECT_TRUE(waitUntil([&] { return app->mixerWindows().isEmpty(); }));
    EXPECT_TRUE(cacheFolders(profile.tempDir).isEmpty()) << "closing left the decoded stems";
}

TEST_F(MixerTest, KeyboardAloneMutesLoopsPlaysAndSavesWithoutTouchingTheStems)
{
    const AudioServer* server = useAudioServer();
    const QString folder = makeStems({{"vocals", 440, 0.3}, {"drums", 1000, 0.3}, {"bass", 110, 0.3}});
    const auto before = sepfix::folderSnapshot(folder);
    auto app = makeApp(profile);
    app->setExportFormat(separation::ExportFormat::flac);
    MixerWindow* mixer = openAndDecode(*app, folder);
    ASSERT_TRUE(mixer);
    MixerController& c = mixer->controller();
    QString suggested;
    mixer->chooseMixPath = [&](const QString& path) { return suggested = path; };
    const auto& rows = mixer->rows();
    const auto muted = [&] {
        QList<bool> out;
        for (const mixer::StemSetting& stem : c.settings().stems)
            out << stem.muted;
        return out;
    };

    // Row by row: vocals' waveform, Mute, Solo, volume, then drums' waveform.
    rows[0].waveform->setFocus();
    for (int i = 0; i < 4; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), rows[1].waveform);
    QTest::keyClick(rows[1].waveform, Qt::Key_M);
    EXPECT_EQ(muted(), QList<bool>({false, true, false}));
    EXPECT_TRUE(rows[1].mute->isChecked());
    QTest::keyClick(rows[1].waveform, Qt::Key_S);
    EXPECT_TRUE(c.settings().stems[1].solo);
    QTest::keyClick(rows[1].waveform, Qt::Key_S);
    QTest::keyClick(rows[1].waveform, Qt::Key_1);
    QTest::keyClick(rows[1].waveform, Qt::Key_M);
    EXPECT_EQ(muted(), QList<bool>({true, false, false}));
    EXPECT_FALSE(c.settings().stems[1].solo);

    // Space plays and pauses; [ and ] mark a loop as it plays, L repeats it.
    if (server) {
        QTest::keyClick(rows[1].waveform, Qt::Key_Space);
        EXPECT_TRUE(c.isPlaying());
        EXPECT_TRUE(waitUntil([&] { return c.position() > 22050; }, 5000)) << "nothing was played";
        QTest::keyClick(rows[1].waveform, Qt::Key_BracketLeft);
        const qint64 start = c.loopStart();
        ASSERT_TRUE(waitUntil([&] { return c.position() > start + 22050; }, 5000));
        QTest::keyClick(rows[1].waveform, Qt::Key_BracketRight);
        EXPECT_GE(c.loopStart(), 22050);
        EXPECT_GT(c.loopEnd(), c.loopStart() + 20000);
        QTest::keyClick(rows[1].waveform, Qt::Key_L);
        EXPECT_TRUE(c.loopEnabled());
        // Past the loop's length, what is heard is still inside it.
        pumpEvents(int((c.loopEnd() - c.loopStart()) * 1000 / 44100) + 300);
        EXPECT_GE(c.position(), c.loopStart() - 4410);
        EXPECT_LE(c.position(), c.loopEnd());
        QTest::keyClick(rows[1].waveform, Qt::Key_Space);
        EXPECT_FALSE(c.isPlaying());
        EXPECT_EQ(mixer->findChild<QPushButton*>("playButton")->text(), QStringLiteral("Play"));
        QTest::keyClick(rows[1].waveform, Qt::Key_L);
    } else {
        QTest::keyClick(rows[1].waveform, Qt::Key_L);
        EXPECT_FALSE(c.loopEnabled()) << "Loop follows L only with an output";
    }
    EXPECT_FALSE(c.loopEnabled());

    // Tempo to 80 % with the arrow keys, then Save Mix with Space.
    auto* tempo = mixer->findChild<QSlider*>("tempoSlider");
    tempo->setFocus();
    for (int i = 0; i < 4; ++i)
        QTest::keyClick(tempo, Qt::Key_Left);
    EXPECT_EQ(mixer->findChild<QLabel*>("tempoText")->text(), QStringLiteral("80 %"));
    QTest::keyClick(tempo, Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    auto* save = mixer->findChild<QPushButton*>("saveMixButton");
    ASSERT_EQ(QApplication::focusWidget(), save);
    QTest::keyClick(save, Qt::Key_Space);
    ASSERT_TRUE(waitSaved(mixer));
    const QString expected = folder + "/mixes/no vocals 80% tempo.flac";
    EXPECT_EQ(suggested, expected);
    ASSERT_TRUE(QFileInfo::exists(expected)) << logText(*app).toStdString();
    EXPECT_TRUE(mixer->findChild<LogView*>("logView")->entries().contains("Saved the mix: " + expected));

    // At 80 % the four seconds last five; drums keep their pitch, vocals are gone.
    const QByteArray raw = decodeRaw(expected);
    EXPECT_NEAR(raw.size() / 4 / 44100.0, 5.0, 0.05);
    const std::vector<double> middle = leftChannel(raw, 44100, 2 * 44100);
    EXPECT_NEAR(toneLevel(middle, 1000), 0.3, 0.03);
    EXPECT_LT(toneLevel(middle, 440), 0.003);

    auto after = sepfix::folderSnapshot(folder);
    for (const QString& key : after.keys()) {
        if (key.startsWith("mixes/"))
            after.remove(key);
    }
    EXPECT_EQ(after, before) << "the stems or their manifest changed";
}

TEST_F(MixerTest, SaveMixWritesWhatTheCommandLineWrites)
{
    const QString folder = makeStems({{"vocals", 440, 0.3}, {"drums", 1000, 0.25}, {"bass", 110, 0.4}});
    auto app = makeApp(profile);
    MixerWindow* mixer = openAndDecode(*app, folder);
    ASSERT_TRUE(mixer);
    mixer->rows()[0].mute->click();
    mixer->findChild<QSlider*>("tempoSlider")->setValue(16);
    const QString windowFile = ws.path("window.flac");
    mixer->chooseMixPath = [&](const QString&) { return windowFile; };
    mixer->findChild<QPushButton*>("saveMixButton")->click();
    ASSERT_TRUE(waitSaved(mixer));
    ASSERT_TRUE(QFileInfo::exists(windowFile)) << logText(*app).toStdString();

    const QString programFile = ws.path("program.flac");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    env.insert("HOME", ws.path("home"));
    env.insert("XDG_DATA_HOME", ws.path("home/.local/share"));
    env.insert("XDG_CONFIG_HOME", ws.makeDir("config"));
    env.insert("TMPDIR", profile.tempDir);
    env.insert("PATH", "/usr/bin:/bin");
    const SyncRunResult run = runSync(
        STEMLOFT_BINARY,
        {"mix", folder, "--mute", "vocals", "--tempo", "0.8", "--format", "flac", "-o", programFile}, env);
    ASSERT_EQ(run.status, 0) << run.output.toStdString();
    QFile a(windowFile), b(programFile);
    ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    EXPECT_TRUE(a.readAll() == b.readAll()) << "the window's mix differs from the command line's";
}

TEST_F(MixerTest, PlaysTheAudibleStemAtItsLevelOnARealServer)
{
    const AudioServer* server = useAudioServer();
    if (!QFileInfo::exists("/usr/bin/pulseaudio"))
        GTEST_SKIP() << "no /usr/bin/pulseaudio";
    ASSERT_TRUE(server) << "the test's PulseAudio server did not start";
    const QString folder = makeStems({{"vocals", 440, 0.5}, {"drums", 1000, 0.4}});
    auto app = makeApp(profile);
    MixerWindow* mixer = openAndDecode(*app, folder);
    ASSERT_TRUE(mixer);
    ASSERT_TRUE(mixer->controller().hasAudioOutput());
    mixer->rows()[1].mute->click();

    QProcess recorder;
    recorder.setProcessEnvironment(server->environment());
    recorder.start("/usr/bin/parec", {"-d", "stemloft_test.monitor", "--raw", "--format=s16le", "--rate=44100",
                                      "--channels=2"});
    ASSERT_TRUE(recorder.waitForStarted());
    QByteArray raw;
    QObject::connect(&recorder, &QProcess::readyReadStandardOutput, [&] { raw += recorder.readAllStandardOutput(); });
    pumpEvents(300);
    mixer->findChild<QPushButton*>("playButton")->click();
    EXPECT_TRUE(waitUntil([&] { return mixer->controller().position() > 3 * 44100; }, 8000));
    pumpEvents(300);
    recorder.terminate();
    recorder.waitForFinished();
    raw += recorder.readAllStandardOutput();
    EXPECT_EQ(mixer->controller().underruns(), 0);

    // From where the sound begins, a second: the vocals' tone as played, no drums.
    const auto* samples = reinterpret_cast<const qint16*>(raw.constData());
    qint64 start = 0;
    while (start < raw.size() / 4 && std::abs(samples[2 * start]) < 1000)
        ++start;
    const std::vector<double> heard = leftChannel(raw, start + 4410, 44100);
    ASSERT_EQ(heard.size(), 44100u) << "too little was recorded: " << raw.size() << " bytes";
    EXPECT_NEAR(toneLevel(heard, 440), 0.5, 0.05);
    EXPECT_LT(toneLevel(heard, 1000), 0.005) << "the muted stem is heard";
}

TEST_F(MixerTest, WithoutAnOutputDeviceSaysSoAndStillSaves)
{
    if (backend == Backend::server)
        GTEST_SKIP() << "this process already plays to a server; run the test alone";
    qputenv("PULSE_SERVER", "unix:" + ws.path("no-server").toUtf8());
    backend = Backend::none;
    const QString folder = makeStems({{"vocals", 440, 0.3}, {"drums", 1000, 0.3}});
    auto app = makeApp(profile);  // AAC in its Format menu
    MixerWindow* mixer = openAndDecode(*app, folder);
    ASSERT_TRUE(mixer);
    auto* device = mixer->findChild<QLabel*>("deviceLabel");
    EXPECT_TRUE(device->isVisible());
    EXPECT_EQ(device->text(), QStringLiteral("No audio output device was found."));
    for (const char* name : {"playButton", "loopButton"})
        EXPECT_FALSE(mixer->findChild<QPushButton*>(name)->isEnabled()) << name;
    EXPECT_FALSE(mixer->findChild<QSlider*>("positionSlider")->isEnabled());
    // Space still presses the focused button.
    QTest::keyClick(mixer->rows()[0].mute, Qt::Key_Space);
    EXPECT_TRUE(mixer->controller().settings().stems[0].muted);
    EXPECT_FALSE(mixer->controller().isPlaying());

    // The name's extension picks the format over the menu's.
    const QString file = folder + "/mixes/take.wav";
    mixer->chooseMixPath = [&](const QString&) { return file; };
    mixer->findChild<QPushButton*>("saveMixButton")->click();
    ASSERT_TRUE(waitSaved(mixer));
    EXPECT_EQ(sepfix::probeAudio(file).value("format_name"), "wav") << logText(*app).toStdString();
}

}  // namespace
