// Cutting a long recording into parts and joining a stem's parts back.
#include "separation/LongRecording.h"
#include "separation/SpaceCheck.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>

using namespace separation;

namespace {

// The plan's promises for any length: the parts cover the recording in
// order, neighbours overlap by exactly the overlap, none is longer than a
// part, and the last is longer than the overlap (it adds something).
void expectSoundPlan(const QList<PartSpan>& spans, qint64 frames, qint64 part, qint64 overlap, qint64 grid)
{
    SCOPED_TRACE(frames);
    ASSERT_FALSE(spans.isEmpty());
    EXPECT_EQ(spans.first().start, 0);
    EXPECT_EQ(spans.last().end(), frames);
    for (qsizetype k = 0; k < spans.size(); ++k) {
        EXPECT_LE(spans[k].frames, part);
        EXPECT_EQ(spans[k].start % grid, 0);
        if (k + 1 < spans.size()) {
            EXPECT_EQ(spans[k].end() - spans[k + 1].start, overlap);
        }
    }
    if (spans.size() > 1) {
        EXPECT_GT(spans.last().frames, overlap);
    }
}

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

QByteArray le16(quint16 v)
{
    QByteArray b(2, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

QByteArray chunk(const char* id, const QByteArray& body)
{
    return QByteArray(id, 4) + le32(quint32(body.size())) + body + (body.size() % 2 ? QByteArray(1, '\0') : QByteArray());
}

QByteArray fmtBody(quint16 tag, quint16 channels, quint32 rate, quint16 bits, quint16 align = 0)
{
    align = align ? align : quint16(channels * bits / 8);
    return le16(tag) + le16(channels) + le32(rate) + le32(rate * align) + le16(align) + le16(bits);
}

// A 16-bit WAV whose frame f, channel c holds value(f, c).
QByteArray pcm16Wav(qint64 frames, int channels, int (*value)(qint64, int))
{
    QByteArray data;
    for (qint64 f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c)
            data += le16(quint16(qint16(value(f, c))));
    const QByteArray body = QByteArray("WAVE") + chunk("fmt ", fmtBody(1, quint16(channels), 44100, 16)) +
                            chunk("data", data);
    return QByteArray("RIFF") + le32(quint32(body.size())) + body;
}

}  // namespace

TEST(LongRecording, PlansCoverEveryLengthWithoutATinyOrMissingLastPart)
{
    const qint64 rate = 44100, part = 600 * rate, overlap = 10 * rate, stride = part - overlap;
    const PartSettings settings{15 * 60, 600, 10};
    WavFormat wav;
    wav.sampleRate = int(rate);

    // At the threshold it is one piece; one frame past it, two parts.
    wav.frames = 15 * 60 * rate;
    EXPECT_EQ(planFor(wav, settings).size(), 1);
    wav.frames += 1;
    const QList<PartSpan> justOver = planFor(wav, settings);
    EXPECT_EQ(justOver.size(), 2);
    expectSoundPlan(justOver, wav.frames, part, overlap, 1);

    // Two whole parts exactly: no third part of nothing but overlap.
    EXPECT_EQ(planParts(part + stride, part, overlap).size(), 2);
    // A frame more than whole parts need: a short last part, still longer than the overlap.
    const QList<PartSpan> spill = planParts(part + 2 * stride + 1, part, overlap);
    EXPECT_EQ(spill.size(), 4);
    expectSoundPlan(spill, part + 2 * stride + 1, part, overlap, 1);
    // A last piece that would be all overlap is folded into the part before it.
    expectSoundPlan(planParts(part + stride + overlap / 2, part, overlap), part + stride + overlap / 2, part,
                    overlap, 1);

    for (qint64 frames : {part + 1, 2 * part, 3 * stride + overlap, 3 * stride + overlap + 1, 7200 * rate})
        expectSoundPlan(planParts(frames, part, overlap), frames, part, overlap, 1);

    // 48 kHz, which Demucs resamples to 44.1: every start lands on a whole output frame.
    const qint64 grid = resamplingGrid(48000, 44100);
    EXPECT_EQ(grid * 44100 % 48000, 0);
    wav.sampleRate = 48000;
    wav.frames = 3600LL * 48000 + 12345;
    expectSoundPlan(planFor(wav, settings), wav.frames, 600 * 48000, 10 * 48000, grid);

    // An overlap of more than half a part would put a frame in three parts.
    expectSoundPlan(planParts(10000, 1000, 900), 10000, 1000, 500, 1);
}

TEST(LongRecording, HeadersAreReadAsTheFilesHoldThem)
{
    // Extensible 32-bit float behind a LIST chunk, its data size never filled in.
    QByteArray ext = fmtBody(0xFFFE, 2, 48000, 32) + le16(22) + le16(32) + le32(3) + le16(3) +
                     QByteArray::fromHex("000000001000800000aa00389b71");
    const QByteArray samples(8 * 10, '\x01');
    QByteArray file = QByteArray("RIFF") + le32(0) + "WAVE" + chunk("fmt ", ext) + chunk("LIST", "INFOabc") +
                      "data" + le32(0xFFFFFFFF) + samples;
    auto parsed = parseWavHeader(file, file.size());
    ASSERT_TRUE(std::holds_alternative<WavFormat>(parsed)) << std::get<QString>(parsed).toStdString();
    WavFormat wav = std::get<WavFormat>(parsed);
    EXPECT_EQ(wav.samples, WavFormat::Samples::floating);
    EXPECT_TRUE(wav.canMix());
    EXPECT_EQ(wav.frames, 10);
    EXPECT_EQ(file.mid(wav.dataOffset), samples);
    EXPECT_EQ(wav.fmtChunk, ext);

    // A data size past the end of a cut file: only the whole frames there.
    const QByteArray cut = pcm16Wav(100, 2, [](qint64 f, int) { return int(f); }).left(44 + 4 * 60 + 3);
    parsed = parseWavHeader(cut, cut.size());
    ASSERT_TRUE(std::holds_alternative<WavFormat>(parsed));
    EXPECT_EQ(std::get<WavFormat>(parsed).frames, 60);

    // IMA ADPCM packs many frames in a block: it cannot be cut, and says so.
    const QByteArray adpcm = QByteArray("RIFF") + le32(0) + "WAVE" + chunk("fmt ", fmtBody(0x11, 2, 44100, 4, 2048)) +
                             chunk("data", QByteArray(2048, '\0'));
    parsed = parseWavHeader(adpcm, adpcm.size());
    ASSERT_TRUE(std::holds_alternative<QString>(parsed));
    EXPECT_TRUE(std::get<QString>(parsed).contains("0x0011")) << std::get<QString>(parsed).toStdString();
}

// The join on its own: parts that are the recording's own spans give the
// recording back, frame for frame; a part of the wrong length or none fails
// the join and names the part.
TEST(LongRecording, JoiningSpansOfARecordingGivesItBackAndBadPartsAreNamed)
{
    TempWorkspace ws;
    const qint64 frames = 5000;
    const auto value = [](qint64 f, int c) { return int((f * 37 + c * 1000) % 60000) - 30000; };
    const QByteArray whole = pcm16Wav(frames, 2, value);
    const QString source = ws.writeFile("whole.wav", whole);
    const WavFormat format = std::get<WavFormat>(readWavHeader(source));
    const QList<PartSpan> spans = planParts(frames, 1200, 300);
    ASSERT_GT(spans.size(), 3);
    QStringList parts;
    for (qsizetype k = 0; k < spans.size(); ++k)
        parts << ws.path(QString("p%1/vocals.wav").arg(k));
    for (const QString& part : parts)
        QDir().mkpath(QFileInfo(part).path());
    std::atomic<bool> cancel = false;
    ASSERT_EQ(splitWav(source, format, spans, parts, cancel), "");
    const QString joined = ws.path("joined.wav");
    ASSERT_EQ(joinStem(parts, spans, 44100, frames, joined, cancel), "");
    EXPECT_EQ(ws.readFile(joined), whole);

    // Parts that differ (part k holds 1000 (k+1) throughout): each overlap
    // climbs steadily from one to the next, halfway in its middle.
    for (qsizetype k = 0; k < spans.size(); ++k) {
        static qint64 level;
        level = 1000 * (k + 1);
        ws.writeFile(QString("p%1/vocals.wav").arg(k), pcm16Wav(spans[k].frames, 2, [](qint64, int) { return int(level); }));
    }
    ASSERT_EQ(joinStem(parts, spans, 44100, frames, joined, cancel), "");
    const QByteArray mixed = ws.readFile(joined).mid(44);
    ASSERT_EQ(mixed.size(), frames * 4);
    const auto at = [&](qint64 f) { return qFromLittleEndian<qint16>(mixed.constData() + 4 * f); };
    for (qsizetype k = 0; k + 1 < spans.size(); ++k) {
        SCOPED_TRACE(k);
        const qint64 from = spans[k + 1].start, to = spans[k].end(), low = 1000 * (k + 1);
        EXPECT_EQ(at(from - 1), low);
        EXPECT_EQ(at(to), low + 1000);
        EXPECT_NEAR(at((from + to) / 2), low + 500, 2);
        for (qint64 f = from; f < to; ++f)
            ASSERT_LE(at(f - 1), at(f));
        EXPECT_LT(at(from), low + 10);
        EXPECT_GT(at(to - 1), low + 990);
    }

    // One part a frame short, then one missing.
    QFile short2(parts[2]);
    ASSERT_TRUE(short2.resize(short2.size() - 4));
    QString error = joinStem(parts, spans, 44100, frames, joined, cancel);
    EXPECT_TRUE(error.startsWith("p2/vocals.wav: ")) << error.toStdString();
    QFile::remove(parts[2]);
    error = joinStem(parts, spans, 44100, frames, joined, cancel);
    EXPECT_TRUE(error.contains(parts[2])) << error.toStdString();
    cancel = true;
    EXPECT_EQ(splitWav(source, format, spans, parts, cancel), cancelledText);
}

// Parts need room of their own: a long run asks more of the temporary folder
// than one piece would, by at least the overlaps, and never less.
TEST(LongRecording, TheSpaceCheckCountsTheParts)
{
    for (bool converts : {false, true}) {
        const SpaceNeeds whole = spaceNeeds(3600, 6, ExportFormat::wav, converts);
        const SpaceNeeds parts = spaceNeeds(3600, 6, ExportFormat::wav, converts, {7, 10, 44100 * 4});
        EXPECT_EQ(parts.stems, whole.stems);
        // Six 24-bit stems of the six overlaps, at least.
        EXPECT_GE(parts.temporary, whole.temporary + 6LL * 60 * 44100 * 6);
    }
    // A direct WAV's parts are copies of it: a 96 kHz float file's parts are bigger than 16-bit ones.
    EXPECT_GT(spaceNeeds(3600, 2, ExportFormat::aac, false, {7, 10, 96000 * 8}).temporary,
              spaceNeeds(3600, 2, ExportFormat::aac, false, {7, 10, 44100 * 4}).temporary + 3600LL * 44100 * 4);
}
