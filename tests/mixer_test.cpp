// The mixer's engine: who is heard, the sum, seek and loop, tempo and pitch,
// decoding as the stems are played, and mixes saved as files.
#include "mixer/MixEngine.h"
#include "mixer/MixJob.h"
#include "mixer/StemLoader.h"
#include "mixer_fixtures.h"

#include <QFile>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

using namespace mixer;

namespace {

// A stem as the loader leaves it: interleaved 16-bit samples in a WAV.
std::shared_ptr<DecodedStem> decodedStem(const TempWorkspace& ws, const QString& name,
                                         const std::vector<qint16>& samples, int channels = 2, bool complete = true)
{
    QByteArray wav(44, '\0');
    wav.replace(0, 4, "RIFF");
    wav.replace(8, 8, "WAVEfmt ");
    qToLittleEndian<quint32>(16, wav.data() + 16);
    qToLittleEndian<quint16>(1, wav.data() + 20);
    qToLittleEndian<quint16>(quint16(channels), wav.data() + 22);
    qToLittleEndian<quint32>(44100, wav.data() + 24);
    qToLittleEndian<quint32>(44100 * 2 * channels, wav.data() + 28);
    qToLittleEndian<quint16>(quint16(2 * channels), wav.data() + 32);
    qToLittleEndian<quint16>(16, wav.data() + 34);
    wav.replace(36, 4, "data");
    qToLittleEndian<quint32>(quint32(samples.size() * 2), wav.data() + 40);
    wav.append(reinterpret_cast<const char*>(samples.data()), qsizetype(samples.size() * 2));
    auto stem = std::make_shared<DecodedStem>();
    stem->name = name;
    stem->path = ws.writeFile(name + QStringLiteral(".wav"), wav);
    stem->channels = channels;
    stem->sampleRate = 44100;
    stem->dataOffset = 44;
    stem->frames = qint64(samples.size()) / channels;
    stem->complete = complete;
    return stem;
}

std::vector<qint16> noise(size_t samples, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> value(-32768, 32767);
    std::vector<qint16> out(samples);
    for (qint16& s : out)
        s = qint16(value(random));
    return out;
}

// Left == right == the frame's index, so every output sample says where it came from.
std::vector<qint16> ramp(qint64 frames)
{
    std::vector<qint16> out;
    for (qint64 f = 0; f < frames; ++f)
        out.insert(out.end(), 2, qint16(f));
    return out;
}

std::vector<qint16> tone(double hz, double seconds, double level = 0.5)
{
    std::vector<qint16> out;
    for (qint64 f = 0; f < qint64(seconds * 44100); ++f)
        out.insert(out.end(), 2, qint16(std::lround(level * 32767 * std::sin(2 * std::numbers::pi * hz * f / 44100))));
    return out;
}

std::vector<float> render(MixEngine& engine, qint64 frames)
{
    std::vector<float> out(size_t(frames) * 2, -9.0f);
    out.resize(size_t(engine.render(out.data(), frames)) * 2);
    return out;
}

// The frequency of the left channel's tone from its rising zero crossings,
// away from the edges where the stretcher settles.
double frequencyOf(const std::vector<float>& stereo)
{
    const size_t frames = stereo.size() / 2;
    size_t first = 0;
    size_t last = 0;
    int crossings = 0;
    for (size_t f = frames / 4; f + 1 < frames * 3 / 4; ++f) {
        if (stereo[2 * f] < 0 && stereo[2 * f + 2] >= 0) {
            if (crossings == 0)
                first = f;
            last = f;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * 44100.0 / double(last - first) : 0;
}

std::vector<float> readFloatWav(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    const qsizetype data = bytes.indexOf("data") + 8;
    std::vector<float> out(size_t(bytes.size() - data) / 4);
    std::memcpy(out.data(), bytes.constData() + data, out.size() * 4);
    return out;
}

}  // namespace

TEST(MixRules, SoloWinsOverMuteAndTheNameSaysWhatIsHeard)
{
    QList<StemSetting> stems{{"vocals", 1.0, true, false}, {"drums", 0.5, false, false}, {"bass", 1.0, true, true}};
    EXPECT_FALSE(anySolo(stems.mid(0, 2)));
    // No solo: the muted are silent, the rest at their volume.
    EXPECT_EQ(effectiveGain(stems[0], false), 0.0);
    EXPECT_EQ(effectiveGain(stems[1], false), 0.5);
    // A solo, even on a muted stem, silences everything not soloed.
    ASSERT_TRUE(anySolo(stems));
    EXPECT_EQ(effectiveGain(stems[2], true), 1.0);
    EXPECT_EQ(effectiveGain(stems[1], true), 0.0);
    stems[0].muted = false;
    stems[0].solo = true;
    EXPECT_EQ(effectiveGain(stems[0], true), 1.0);  // several solos all sound

    MixSettings settings;
    settings.stems = {{"vocals", 1.0, true, false}, {"drums", 1.0, false, false}};
    EXPECT_EQ(mixName(settings), "no vocals");
    settings.stems = {{"vocals", 1.0, false, false}, {"bass", 1.0, false, true}};
    settings.tempo = 0.8;
    EXPECT_EQ(mixName(settings), "bass 80% tempo");
    settings.stems = {{"vocals", 1.0, true, false}, {"guitar", 0.5, false, false}};
    settings.tempo = 1.0;
    settings.pitchSemitones = -2;
    EXPECT_EQ(mixName(settings), "no vocals, guitar 50% -2 semitones");
    settings.stems = {{"vocals", 1.0, false, false}};
    settings.pitchSemitones = 0;
    EXPECT_EQ(mixName(settings), "full mix");
    EXPECT_EQ(safeFileName("../no/vocals"), "-no-vocals");
}

TEST(MixEngine, ThePlainMixIsTheExactSumOfWhatIsHeardToTheLongestStem)
{
    TempWorkspace ws;
    // Stereo, mono and a shorter one; full scale noise, so any scaling or
    // channel slip shows.
    const auto a = noise(2 * 10000, 1);
    const auto b = noise(10000, 2);
    const auto c = noise(2 * 6000, 3);
    MixEngine engine({decodedStem(ws, "a", a), decodedStem(ws, "b", b, 1), decodedStem(ws, "c", c)}, 44100);
    engine.setVolume(1, 0.25);
    engine.setMuted(2, false);

    std::vector<float> heard;
    for (std::vector<float> block = render(engine, 999); !block.empty(); block = render(engine, 999))
        heard.insert(heard.end(), block.begin(), block.end());
    ASSERT_EQ(heard.size(), size_t(2 * 10000));
    constexpr float scale = 1.0f / 32768.0f;
    for (size_t f = 0; f < 10000; ++f) {
        for (size_t ch = 0; ch < 2; ++ch) {
            float expected = 0.0f;
            expected += 1.0f * (float(a[2 * f + ch]) * scale);
            expected += 0.25f * (float(b[f]) * scale);
            if (f < 6000)
                expected += 1.0f * (float(c[2 * f + ch]) * scale);
            ASSERT_EQ(heard[2 * f + ch], expected) << "frame " << f << " channel " << ch;
        }
    }
    EXPECT_EQ(engine.position(), 10000);

    // Everything muted is silence, not the last block again.
    engine.seek(0);
    for (int i = 0; i < 3; ++i)
        engine.setMuted(i, true);
    const std::vector<float> silent = render(engine, 4000);
    ASSERT_EQ(silent.size(), size_t(8000));
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](float s) { return s == 0.0f; }));
}

TEST(MixEngine, SeekAndLoopLandOnTheirFrames)
{
    TempWorkspace ws;
    MixEngine engine({decodedStem(ws, "ramp", ramp(20000))}, 44100);
    auto frameAt = [](const std::vector<float>& out, size_t f) { return std::lround(out[2 * f] * 32768); };

    engine.seek(12345);
    auto out = render(engine, 10);
    EXPECT_EQ(frameAt(out, 0), 12345);
    EXPECT_EQ(engine.position(), 12355);

    // Inside the loop, its end is followed by its start, frame for frame,
    // however the blocks fall.
    engine.setLoop(1000, 1100);
    engine.setLoopEnabled(true);
    engine.seek(1090);
    out = render(engine, 230);
    std::vector<long> frames;
    for (size_t f = 0; f < 230; ++f)
        frames.push_back(frameAt(out, f));
    EXPECT_EQ(frames[9], 1099);
    EXPECT_EQ(frames[10], 1000);
    EXPECT_EQ(frames[109], 1099);
    EXPECT_EQ(frames[110], 1000);
    EXPECT_EQ(frames[229], 1119 - 100);

    // A loop past the song's end wraps at the end.
    engine.setLoop(19000, 25000);
    engine.seek(19995);
    out = render(engine, 10);
    EXPECT_EQ(frameAt(out, 4), 19999);
    EXPECT_EQ(frameAt(out, 5), 19000);
    engine.setLoop(1000, 1100);

    // Past the loop's end, the song plays on to its end and stops there.
    engine.seek(19990);
    out = render(engine, 64);
    EXPECT_EQ(out.size(), size_t(20));
    EXPECT_EQ(frameAt(out, 9), 19999);
    EXPECT_TRUE(render(engine, 64).empty());

    // Loop off: the region's end is just a frame.
    engine.setLoopEnabled(false);
    engine.seek(1095);
    out = render(engine, 10);
    EXPECT_EQ(frameAt(out, 9), 1104);
}

TEST(MixEngine, DecodingBehindIsSilenceThatKeepsThePlace)
{
    TempWorkspace ws;
    auto growing = decodedStem(ws, "ramp", ramp(3000), 2, false);
    growing->frames = 1000;  // decoded so far
    MixEngine engine({growing}, 44100);

    auto out = render(engine, 1500);
    ASSERT_EQ(out.size(), size_t(3000));  // the sink is never starved of samples
    EXPECT_EQ(std::lround(out[2 * 999] * 32768), 999);
    EXPECT_EQ(out[2 * 1000], 0.0f);
    EXPECT_EQ(engine.decodeWaits(), 1u);
    EXPECT_EQ(engine.position(), 1000);

    growing->frames = 3000;
    growing->complete = true;
    out = render(engine, 5000);
    ASSERT_EQ(out.size(), size_t(4000));
    EXPECT_EQ(std::lround(out[0] * 32768), 1000);
}

TEST(MixEngine, TempoKeepsThePitchAndPitchKeepsTheTempo)
{
    TempWorkspace ws;
    const auto stems = DecodedStems{decodedStem(ws, "tone", tone(440, 2.0))};
    std::atomic<bool> cancel{false};
    struct Case {
        double tempo;
        int pitch;
        double hz;
    };
    for (const Case& c : {Case{0.5, 0, 440}, Case{1.5, 0, 440}, Case{1.0, 12, 880}, Case{0.8, -12, 220}}) {
        SCOPED_TRACE(testing::Message() << "tempo " << c.tempo << " pitch " << c.pitch);
        MixEngine engine(stems, 44100);
        engine.setTempo(c.tempo);
        engine.setPitch(c.pitch);
        // Rendered until the stretcher runs dry: its own length, not the file's.
        std::vector<float> heard;
        for (std::vector<float> block = render(engine, 4096); !block.empty(); block = render(engine, 4096))
            heard.insert(heard.end(), block.begin(), block.end());
        EXPECT_NEAR(double(heard.size() / 2) / 44100, 2.0 / c.tempo, 0.005);
        EXPECT_NEAR(frequencyOf(heard), c.hz, c.hz * 0.01);

        // The file is cut to the exact length.
        MixEngine again(stems, 44100);
        again.setTempo(c.tempo);
        again.setPitch(c.pitch);
        const QString wav = ws.path(QStringLiteral("mix.wav"));
        ASSERT_EQ(renderToWav(again, c.tempo, wav, cancel), QString());
        const std::vector<float> file = readFloatWav(wav);
        EXPECT_EQ(qint64(file.size() / 2), stretchedLength(88200, c.tempo));
        EXPECT_NEAR(frequencyOf(file), c.hz, c.hz * 0.01);
    }
}

TEST(StemLoader, DecodesEveryStemWhilePlayableEarlyAndLeavesNothing)
{
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    profile.converterPath = QStringLiteral("/usr/bin/ffmpeg");
    const QString folder = mixfix::makeStemFolder(
        ws, "Song", {{"vocals", "sine=f=440:d=5"}, {"bass", "sine=f=110:d=4"}});
    ASSERT_FALSE(folder.isEmpty());
    auto read = readStemFolder(folder);
    ASSERT_TRUE(std::holds_alternative<StemFolder>(read)) << std::get<QString>(read).toStdString();

    auto loader = std::make_unique<StemLoader>(profile, std::get<StemFolder>(read));
    bool playable = false;
    std::optional<bool> ok;
    QObject::connect(loader.get(), &StemLoader::playable, [&] { playable = true; });
    QObject::connect(loader.get(), &StemLoader::finished, [&](bool result) {
        EXPECT_TRUE(playable);  // before or with the end, never after
        ok = result;
    });
    ASSERT_TRUE(loader->start()) << loader->error().toStdString();
    ASSERT_TRUE(waitUntil([&] { return ok.has_value(); }, 30000));
    ASSERT_TRUE(*ok) << loader->error().toStdString();
    EXPECT_EQ(loader->stems()[0]->frames, 5 * 44100);
    EXPECT_EQ(loader->stems()[1]->frames, 4 * 44100);
    EXPECT_EQ(loader->frames(), 5 * 44100);
    EXPECT_EQ(loader->sampleRate(), 44100);
    // One min/max pair per 256 frames, the last one partial; a full-scale half sine.
    waitUntil([&] { return loader->peaks(1).size() == 2 * ((4 * 44100 + 255) / 256); }, 2000);
    ASSERT_EQ(loader->peaks(1).size(), 2 * ((4 * 44100 + 255) / 256));
    EXPECT_LT(loader->peaks(1)[2], -1000);
    EXPECT_GT(loader->peaks(1)[3], 1000);
    EXPECT_EQ(sepfix::folderSnapshot(profile.tempDir).size(), 4);  // the cache folder, its owner file, two stems
    loader.reset();
    EXPECT_TRUE(sepfix::folderSnapshot(profile.tempDir).isEmpty());

    // A stem the converter cannot read is named with the converter's reason.
    ws.writeFile(QStringLiteral("save/stems/Song/bass.flac"), "not audio");
    StemLoader broken(profile, std::get<StemFolder>(readStemFolder(folder)));
    ok.reset();
    QObject::connect(&broken, &StemLoader::finished, [&](bool result) { ok = result; });
    ASSERT_TRUE(broken.start());
    ASSERT_TRUE(waitUntil([&] { return ok.has_value(); }, 30000));
    EXPECT_FALSE(*ok);
    EXPECT_TRUE(broken.error().startsWith("Could not decode bass.flac: ")) << broken.error().toStdString();

    QFile::remove(folder + "/bass.flac");
    EXPECT_EQ(std::get<QString>(readStemFolder(folder)),
              QStringLiteral("The stem bass.flac is missing from %1.").arg(folder));
    EXPECT_TRUE(std::holds_alternative<QString>(readStemFolder(ws.path("save"))));
}

TEST(MixJob, SavesWhatIsHeardIntoMixesAndTouchesNoStem)
{
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    profile.converterPath = QStringLiteral("/usr/bin/ffmpeg");
    const QString folder = mixfix::makeStemFolder(
        ws, "Song", {{"vocals", "sine=f=440:d=3"}, {"drums", "sine=f=1000:d=3"}, {"bass", "sine=f=110:d=3"}});
    const auto before = sepfix::folderSnapshot(folder);
    MixJob::Params params;
    params.profile = profile;
    params.folder = std::get<StemFolder>(readStemFolder(folder));
    params.format = separation::ExportFormat::wav;
    params.settings.stems = {{"vocals", 1.0, true, false}, {"drums", 0.5, false, false}, {"bass", 1.0, false, false}};

    auto run = [&](MixJob::Params p, bool stopEarly = false) {
        MixJob job(std::move(p));
        std::optional<Job::Outcome> outcome;
        QObject::connect(&job, &Job::finished, [&](Job::Outcome o) { outcome = o; });
        job.start();
        if (stopEarly)
            job.stop();
        waitUntil([&] { return outcome.has_value(); }, 60000);
        return std::pair{outcome, job.outputPath()};
    };
    const auto [outcome, path] = run(params);
    ASSERT_EQ(outcome, Job::Outcome::succeeded);
    EXPECT_EQ(path, folder + "/mixes/no vocals, drums 50%.wav");

    // 24-bit WAV of the sum: drums at half, bass at full, no vocals.
    const QString check = ws.path("check.f32");
    ASSERT_TRUE(sepfix::ffmpeg({"-i", path, "-f", "f32le", check}));
    ASSERT_TRUE(sepfix::ffmpeg({"-i", folder + "/drums.flac", "-f", "f32le", ws.path("drums.f32")}));
    ASSERT_TRUE(sepfix::ffmpeg({"-i", folder + "/bass.flac", "-f", "f32le", ws.path("bass.f32")}));
    auto floats = [&](const QString& name) {
        const QByteArray bytes = ws.readFile(name);
        std::vector<float> out(size_t(bytes.size()) / 4);
        std::memcpy(out.data(), bytes.constData(), out.size() * 4);
        return out;
    };
    const auto mix = floats("check.f32");
    const auto drums = floats("drums.f32");
    const auto bass = floats("bass.f32");
    ASSERT_EQ(mix.size(), size_t(3 * 44100 * 2));
    for (size_t i = 0; i < mix.size(); i += 97)
        ASSERT_NEAR(mix[i], 0.5f * drums[i] + bass[i], 1e-4) << i;

    EXPECT_EQ(sepfix::folderSnapshot(folder).size(), before.size() + 2);  // mixes/ and the file
    auto after = sepfix::folderSnapshot(folder);
    after.remove("mixes/");
    after.remove("mixes/no vocals, drums 50%.wav");
    EXPECT_EQ(after, before);
    EXPECT_TRUE(sepfix::folderSnapshot(profile.tempDir).isEmpty());

    // Stopped at once: no file, no temporary, no cache.
    params.output = ws.path("save/stems/Song/mixes/stopped.wav");
    const auto [stopped, unused] = run(params, true);
    EXPECT_EQ(stopped, Job::Outcome::stopped);
    EXPECT_EQ(QDir(folder + "/mixes").entryList(QDir::Files | QDir::Hidden), QStringList{"no vocals, drums 50%.wav"});
    EXPECT_TRUE(sepfix::folderSnapshot(profile.tempDir).isEmpty());
}
