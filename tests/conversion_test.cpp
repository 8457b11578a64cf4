#include "separation/AudioConversion.h"
#include "separation_fixtures.h"

#include "base/AppError.h"

#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

using namespace separation;

namespace {

// Runs a conversion to its end: the code and text of its error (0 and empty text when none).
std::pair<int, QString> convert(const PlatformProfile& profile, ConversionTarget target, const QString& source,
                                const QString& destination)
{
    const std::optional<AppError> error = sepfix::convertSync(profile, target, source, destination);
    if (error)
        return {error->code(), error->localizedDescription()};
    return {0, QString()};
}

}  // namespace

TEST(Conversion, ArgumentVectors)
{
    const auto af = PlatformProfile::Converter::afconvert;
    EXPECT_EQ(converterArguments(af, ConversionTarget::wav, "/a b.m4a", "/o/in.wav"),
              (QStringList{"-f", "WAVE", "-d", "LEI16", "/a b.m4a", "/o/in.wav"}));
    EXPECT_EQ(converterArguments(af, ConversionTarget::m4a, "/s/vocals.wav", "/t/v.m4a"),
              (QStringList{"-f", "m4af", "-d", "aac", "-b", "192000", "/s/vocals.wav", "/t/v.m4a"}));

    EXPECT_EQ(converterArguments(af, ConversionTarget::flac, "/s/v.wav", "/t/v.flac"),
              (QStringList{"-f", "flac", "-d", "flac", "/s/v.wav", "/t/v.flac"}));
    EXPECT_EQ(converterArguments(af, ConversionTarget::wav24, "/s/v.wav", "/t/v.wav"),
              (QStringList{"-f", "WAVE", "-d", "LEI24", "/s/v.wav", "/t/v.wav"}));
    // Lossless stems get no bit rate.
    const auto ff = PlatformProfile::Converter::ffmpeg;
    EXPECT_EQ(converterArguments(ff, ConversionTarget::flac, "/s/v.wav", "/t/x.tmp").mid(11),
              (QStringList{"-c:a", "flac", "-f", "flac", "/t/x.tmp"}));
    EXPECT_EQ(converterArguments(ff, ConversionTarget::wav24, "/s/v.wav", "/t/x.tmp").mid(11),
              (QStringList{"-c:a", "pcm_s24le", "-f", "wav", "/t/x.tmp"}));
    EXPECT_EQ(stemTarget(ExportFormat::aac), ConversionTarget::m4a);
    EXPECT_EQ(stemTarget(ExportFormat::flac), ConversionTarget::flac);
    EXPECT_EQ(stemTarget(ExportFormat::wav), ConversionTarget::wav24);

    const QStringList relative = converterArguments(PlatformProfile::Converter::ffmpeg, ConversionTarget::wav,
                                                    "What? Now: Live.m4a", "out.wav");
    EXPECT_EQ(relative.at(7), "file:What? Now: Live.m4a");
    EXPECT_EQ(relative.last(), "file:out.wav");

    // The fake records what ffmpeg would be given.
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    const QString args = ws.path("args");
    sepfix::writeFakeConverter(ws, profile.converterPath, args, ws.root());
    const QString src = ws.writeFile("in/-song.m4a", "x");
    EXPECT_EQ(convert(profile, ConversionTarget::wav, src, ws.path("out.wav")).first, 0);
    const QStringList common = {"-nostdin", "-y", "-hide_banner", "-nostats", "-loglevel", "error", "-i"};
    EXPECT_EQ(readRecordedArgs(args),
              (common + QStringList{src, "-map", "0:a:0", "-vn", "-c:a", "pcm_s16le", "-f", "wav", ws.path("out.wav")}));
    EXPECT_EQ(convert(profile, ConversionTarget::m4a, src, ws.path(".v.tmp")).first, 0);
    EXPECT_EQ(readRecordedArgs(args), (common + QStringList{src, "-map", "0:a:0", "-vn", "-c:a", "aac", "-b:a",
                                                            "192000", "-f", "ipod", ws.path(".v.tmp")}));
}

TEST(Conversion, MissingConverterFailsAtOnceAndTouchesNothing)
{
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    const QString dest = ws.writeFile("old.wav", "keep");
    const QString message = QStringLiteral("ffmpeg was not found at %1.").arg(profile.converterPath);
    EXPECT_EQ(convert(profile, ConversionTarget::wav, ws.path("a.m4a"), dest), std::make_pair(4, message));
    EXPECT_EQ(convert(profile, ConversionTarget::m4a, ws.path("a.wav"), dest), std::make_pair(2, message));
    EXPECT_EQ(ws.readFile("old.wav"), "keep");

    // A plain file that is not executable does not count either.
    ws.writeFile("tools/ffmpeg", "#!/bin/sh\nexit 0\n");
    profile.converter = PlatformProfile::Converter::afconvert;
    profile.converterName = "afconvert";
    EXPECT_EQ(convert(profile, ConversionTarget::m4a, ws.path("a.wav"), dest),
              std::make_pair(2, QStringLiteral("afconvert was not found at %1.").arg(profile.converterPath)));
}

TEST(Conversion, FailureMessagesNameTheSourceFileAndTheOutputOrStatus)
{
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    const QString out = ws.path("out");
    ws.writeScript("tools/ffmpeg", "printf '%s' \"$OUTPUT\"; exit $STATUS");
    const QString src = ws.writeFile("deep/folder/in put.m4a", "x");
    const struct {
        QByteArray output;
        int status;
        ConversionTarget target;
        std::pair<int, QString> expected;
    } cases[] = {
        {"\n  Invalid data\nfound here \n\n", 1, ConversionTarget::wav,
         {5, "ffmpeg failed to prepare in put.m4a: Invalid data\nfound here"}},
        {" \n\n \r\n", 2, ConversionTarget::m4a, {3, "ffmpeg failed for in put.m4a with exit code 2."}},
        {"\xff\xfe broken", 1, ConversionTarget::wav, {5, "ffmpeg failed to prepare in put.m4a with exit code 1."}},
        {"chatty but fine", 0, ConversionTarget::m4a, {0, QString()}},
    };
    for (const auto& c : cases) {
        qputenv("OUTPUT", c.output);
        qputenv("STATUS", QByteArray::number(c.status));
        EXPECT_EQ(convert(profile, c.target, src, out), c.expected) << c.output.constData();
    }
    qunsetenv("OUTPUT");
    qunsetenv("STATUS");
}

TEST(Conversion, WavDestinationIsRemovedBeforeTheConverterRunsButM4aIsLeftToIt)
{
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    ws.writeScript("tools/ffmpeg", "for a; do d=$a; done; [ -e \"$d\" ] && echo present > " +
                                       shellQuote(ws.path("seen")) + "; exit 1");
    ws.writeFile("dest.wav", "old");
    EXPECT_EQ(convert(profile, ConversionTarget::wav, ws.path("in.m4a"), ws.path("dest.wav")).first, 5);
    EXPECT_FALSE(QFileInfo::exists(ws.path("dest.wav")));
    EXPECT_FALSE(QFileInfo::exists(ws.path("seen")));
    ws.writeFile("dest.m4a", "old");
    EXPECT_EQ(convert(profile, ConversionTarget::m4a, ws.path("in.wav"), ws.path("dest.m4a")).first, 3);
    EXPECT_EQ(ws.readFile("seen"), "present\n");
}

class RealFfmpeg : public ::testing::Test {
protected:
    void SetUp() override
    {
        profile = makeTestProfile(ws);
        profile.converterPath = "/usr/bin/ffmpeg";
    }
    TempWorkspace ws;
    PlatformProfile profile;
};

TEST_F(RealFfmpeg, AudioAndMovieFilesBecome16BitWavWithTheirRateAndChannels)
{
    const QString m4a = ws.path("mono 48k.m4a");
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=2",
                                "-ac", "1", "-c:a", "aac", m4a}));
    const QString movie = ws.path("clip.mp4");
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=2",
                                "-f", "lavfi", "-i", "sine=frequency=220:sample_rate=22050:duration=2",
                                "-ac", "2", "-c:v", "mpeg4", "-c:a", "aac", "-shortest", movie}));
    const struct { QString source; QString rate; QString channels; } cases[] = {
        {m4a, "48000", "1"}, {movie, "22050", "2"}};
    for (const auto& c : cases) {
        const QString wav = ws.path("demucs-input.wav");
        ASSERT_EQ(convert(profile, ConversionTarget::wav, c.source, wav), std::make_pair(0, QString()));
        const auto facts = sepfix::probeAudio(wav);
        EXPECT_EQ(facts.value("codec_name"), "pcm_s16le");
        EXPECT_EQ(facts.value("format_name"), "wav");
        EXPECT_EQ(facts.value("sample_rate"), c.rate);
        EXPECT_EQ(facts.value("channels"), c.channels);
    }
}

TEST_F(RealFfmpeg, WavBecomesAacAt192kEvenUnderATemporaryName)
{
    const QString wav = ws.path("vocals.wav");
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "anoisesrc=sample_rate=44100:duration=5", "-ac", "2",
                                "-c:a", "pcm_s16le", wav}));
    const QString out = ws.path(".vocals.m4a.partial.tmp");
    ASSERT_EQ(convert(profile, ConversionTarget::m4a, wav, out), std::make_pair(0, QString()));
    const auto facts = sepfix::probeAudio(out);
    EXPECT_EQ(facts.value("codec_name"), "aac");
    EXPECT_TRUE(facts.value("format_name").contains("mp4")) << facts.value("format_name").toStdString();
    EXPECT_EQ(facts.value("sample_rate"), "44100");
    EXPECT_EQ(facts.value("channels"), "2");
    EXPECT_NEAR(facts.value("bit_rate").toDouble(), 192000, 20000);
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.read(12).mid(4), QByteArray("ftypM4A "));
}

// Demucs's 24-bit stems come out of FLAC and WAV sample for sample.
TEST_F(RealFfmpeg, LosslessStemsKeepEvery24BitSample)
{
    const QString stem = ws.path("vocals.wav");
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "anoisesrc=sample_rate=44100:duration=2:amplitude=0.5", "-ac",
                                "2", "-c:a", "pcm_s24le", stem}));
    const auto samples = [](const QString& file) {
        QProcess p;
        p.start("/usr/bin/ffmpeg", {"-nostdin", "-loglevel", "error", "-i", file, "-f", "s32le", "-"});
        p.waitForFinished(60000);
        return p.readAllStandardOutput();
    };
    const QByteArray original = samples(stem);
    ASSERT_GT(original.size(), 44100 * 2 * 4);
    const struct { ConversionTarget target; const char* codec; const char* format; } cases[] = {
        {ConversionTarget::flac, "flac", "flac"}, {ConversionTarget::wav24, "pcm_s24le", "wav"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec);
        const QString out = ws.path(".vocals.out.tmp");  // a temporary name, as in the export
        ASSERT_EQ(convert(profile, c.target, stem, out), std::make_pair(0, QString()));
        const auto facts = sepfix::probeAudio(out);
        EXPECT_EQ(facts.value("codec_name"), c.codec);
        EXPECT_EQ(facts.value("format_name"), c.format);
        EXPECT_EQ(facts.value("sample_rate"), "44100");
        EXPECT_EQ(facts.value("channels"), "2");
        if (c.target == ConversionTarget::flac) {
            EXPECT_EQ(facts.value("bits_per_raw_sample"), "24");
        }
        EXPECT_TRUE(samples(out) == original);
    }
}

TEST_F(RealFfmpeg, UnreadableInputReportsFfmpegsOwnDiagnostics)
{
    const QString notes = ws.writeFile("notes.txt", "not audio at all\n");
    const auto [code, message] = convert(profile, ConversionTarget::wav, notes, ws.path("o.wav"));
    EXPECT_EQ(code, 5);
    EXPECT_TRUE(message.startsWith("ffmpeg failed to prepare notes.txt: ")) << message.toStdString();
    EXPECT_GT(message.size(), QString("ffmpeg failed to prepare notes.txt: ").size());
}
