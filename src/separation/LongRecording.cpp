#include "separation/LongRecording.h"

#include "base/FileOps.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>

namespace separation {

namespace {

// What a RIFF header can say about its data: 4 GB less the header.
constexpr qint64 riffLimit = 0xFFFFFFFFLL - 1024;
// Frames per buffer: a few hundred KB for any stem.
constexpr qint64 bufferFrames = 32768;
// A part Demucs resampled may come back a few frames off its nominal length.
constexpr qint64 resampledSlack = 64;

quint16 le16(const char* p) { return qFromLittleEndian<quint16>(p); }
quint32 le32(const char* p) { return qFromLittleEndian<quint32>(p); }

QString fileError(const QFile& file, const QString& verb)
{
    return QStringLiteral("Could not %1 \"%2\": %3").arg(verb, file.fileName(), file.errorString());
}

bool writeAll(QFile& file, const char* data, qint64 size)
{
    return file.write(data, size) == size;
}

QByteArray wavHeader(const QByteArray& fmtChunk, qint64 dataBytes)
{
    const qint64 fmtPadded = fmtChunk.size() + (fmtChunk.size() & 1);
    QByteArray header;
    char word[4];
    const auto put32 = [&](quint32 value) {
        qToLittleEndian<quint32>(value, word);
        header.append(word, 4);
    };
    header.append("RIFF", 4);
    put32(quint32(4 + 8 + fmtPadded + 8 + dataBytes + (dataBytes & 1)));
    header.append("WAVEfmt ", 8);
    put32(quint32(fmtChunk.size()));
    header.append(fmtChunk);
    if (fmtChunk.size() & 1)
        header.append('\0');
    header.append("data", 4);
    put32(quint32(dataBytes));
    return header;
}

// A part as its folder and name ("part-002/bass.wav"): which part, which stem.
QString partName(const QString& path)
{
    return fileops::lastComponent(fileops::deletingLastComponent(path)) + QLatin1Char('/') +
           fileops::lastComponent(path);
}

std::variant<WavFormat, QString> headerOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fileError(file, QStringLiteral("read"));
    // Metadata chunks before the samples are small; a megabyte is plenty.
    return parseWavHeader(file.read(1 << 20), file.size());
}

// Reads a WAV's frames in order from its first; past the frames the file
// holds, it reads silence.
class FrameReader {
public:
    QString open(const QString& path)
    {
        auto header = headerOf(path);
        if (const QString* reason = std::get_if<QString>(&header))
            return partName(path) + QStringLiteral(": ") + *reason;
        m_format = std::get<WavFormat>(header);
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::ReadOnly) || !m_file.seek(m_format.dataOffset))
            return fileError(m_file, QStringLiteral("read"));
        return {};
    }
    const WavFormat& format() const { return m_format; }

    // frames frames into buffer (resized to hold them).
    QString read(qint64 frames, QByteArray& buffer)
    {
        const qint64 bytes = frames * m_format.blockAlign;
        buffer.resize(bytes);
        const qint64 stored = std::clamp<qint64>(m_format.frames - m_position, 0, frames) * m_format.blockAlign;
        if (stored > 0 && m_file.read(buffer.data(), stored) != stored)
            return fileError(m_file, QStringLiteral("read"));
        std::memset(buffer.data() + stored, 0, size_t(bytes - stored));
        m_position += frames;
        return {};
    }

private:
    QFile m_file;
    WavFormat m_format;
    qint64 m_position = 0;
};

double sampleAt(const char* p, const WavFormat& format)
{
    if (format.samples == WavFormat::Samples::floating) {
        return qFromLittleEndian<float>(p);
    }
    switch (format.bitsPerSample) {
    case 16: return qint16(le16(p));
    case 24: return double(qint32(quint32(quint8(p[0])) << 8 | quint32(quint8(p[1])) << 16 |
                                  quint32(quint8(p[2])) << 24) >> 8);
    default: return qint32(le32(p));
    }
}

void putSample(char* p, double value, const WavFormat& format)
{
    if (format.samples == WavFormat::Samples::floating) {
        qToLittleEndian<float>(float(value), p);
        return;
    }
    const int bits = format.bitsPerSample;
    const double high = std::ldexp(1.0, bits - 1) - 1;
    const qint64 v = std::llround(std::clamp(value, -high - 1, high));
    switch (bits) {
    case 16: qToLittleEndian<qint16>(qint16(v), p); break;
    case 24:
        p[0] = char(v & 0xff);
        p[1] = char((v >> 8) & 0xff);
        p[2] = char((v >> 16) & 0xff);
        break;
    default: qToLittleEndian<qint32>(qint32(v), p); break;
    }
}

bool sameLayout(const WavFormat& a, const WavFormat& b)
{
    return a.samples == b.samples && a.channels == b.channels && a.sampleRate == b.sampleRate &&
           a.bitsPerSample == b.bitsPerSample && a.blockAlign == b.blockAlign;
}

}  // namespace

std::variant<WavFormat, QString> parseWavHeader(const QByteArray& head, qint64 fileSize)
{
    if (head.size() < 12 || head.mid(8, 4) != "WAVE")
        return QStringLiteral("not a WAV file");
    if (head.startsWith("RF64") || head.startsWith("BW64"))
        return QStringLiteral("a 64-bit WAV, which is not supported for parts");
    if (!head.startsWith("RIFF"))
        return QStringLiteral("not a little-endian WAV file");
    std::optional<WavFormat> format;
    qint64 at = 12;
    while (at + 8 <= head.size()) {
        const QByteArray id = head.mid(at, 4);
        const qint64 size = le32(head.constData() + at + 4);
        const qint64 body = at + 8;
        if (id == "fmt ") {
            if (size < 16 || body + size > head.size())
                return QStringLiteral("its format chunk is cut short");
            const char* f = head.constData() + body;
            WavFormat w;
            quint16 tag = le16(f);
            w.channels = le16(f + 2);
            w.sampleRate = int(le32(f + 4));
            w.blockAlign = le16(f + 12);
            // WAVE_FORMAT_EXTENSIBLE names the real format in its subformat's first two bytes.
            if (tag == 0xFFFE) {
                if (size < 40)
                    return QStringLiteral("its extensible format chunk is cut short");
                tag = le16(f + 24);
            }
            if (w.channels <= 0 || w.sampleRate <= 0 || w.blockAlign <= 0 || w.blockAlign % w.channels != 0)
                return QStringLiteral("its format chunk is inconsistent");
            switch (tag) {
            case 1: w.samples = WavFormat::Samples::pcm; break;
            case 3: w.samples = WavFormat::Samples::floating; break;
            case 6:
            case 7: w.samples = WavFormat::Samples::companded; break;
            default:
                return QStringLiteral("its sample format (0x%1) cannot be cut into parts").arg(tag, 4, 16, QLatin1Char('0'));
            }
            // The container's width: samples narrower than it are left-justified in it.
            w.bitsPerSample = 8 * w.blockAlign / w.channels;
            w.fmtChunk = head.mid(body, size);
            format = w;
        } else if (id == "data") {
            if (!format)
                return QStringLiteral("its data comes before its format");
            format->dataOffset = body;
            // A writer that never came back to fill in the size leaves 0 or
            // 0xFFFFFFFF; what the file holds is what counts.
            const qint64 held = std::max<qint64>(0, fileSize - body);
            const qint64 bytes = (size == 0 || size == 0xFFFFFFFFLL) ? held : std::min(size, held);
            format->frames = bytes / format->blockAlign;
            return *format;
        }
        at = body + size + (size & 1);
    }
    return QStringLiteral("no audio data was found in its first %1 bytes").arg(head.size());
}

std::variant<WavFormat, QString> readWavHeader(const QString& path)
{
    auto parsed = headerOf(path);
    if (QString* reason = std::get_if<QString>(&parsed))
        *reason = fileops::lastComponent(path) + QStringLiteral(": ") + *reason;
    return parsed;
}

QList<PartSpan> planParts(qint64 frames, qint64 partFrames, qint64 overlapFrames, qint64 grid)
{
    grid = std::max<qint64>(1, grid);
    partFrames = std::max(grid, partFrames / grid * grid);
    // At most half a part: a frame is then in at most two parts.
    overlapFrames = std::clamp<qint64>(overlapFrames, 0, partFrames / 2) / grid * grid;
    if (frames <= partFrames)
        return {{0, std::max<qint64>(0, frames)}};
    const qint64 stride = partFrames - overlapFrames;
    const qint64 count = (frames - overlapFrames + stride - 1) / stride;
    QList<PartSpan> spans;
    for (qint64 k = 0; k + 1 < count; ++k)
        spans.append({k * stride, partFrames});
    const qint64 lastStart = (count - 1) * stride;
    spans.append({lastStart, frames - lastStart});
    return spans;
}

qint64 resamplingGrid(int inputRate, int outputRate)
{
    if (inputRate <= 0 || outputRate <= 0)
        return 1;
    return inputRate / std::gcd(inputRate, outputRate);
}

double crossFadeWeight(qint64 index, qint64 frames)
{
    return frames <= 0 ? 1.0 : (double(index) + 0.5) / double(frames);
}

QList<PartSpan> planFor(const WavFormat& format, const PartSettings& settings, int outputRate)
{
    if (format.sampleRate <= 0 || double(format.frames) <= settings.thresholdSeconds * format.sampleRate)
        return {{0, format.frames}};
    return planParts(format.frames, qint64(std::llround(settings.partSeconds * format.sampleRate)),
                     qint64(std::llround(settings.overlapSeconds * format.sampleRate)),
                     resamplingGrid(format.sampleRate, outputRate));
}

QString splitWav(const QString& source, const WavFormat& format, const QList<PartSpan>& spans,
                 const QStringList& parts, const std::atomic<bool>& cancel)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return fileError(in, QStringLiteral("read"));
    QByteArray buffer;
    for (qsizetype k = 0; k < spans.size(); ++k) {
        const PartSpan span = spans.at(k);
        const qint64 bytes = span.frames * format.blockAlign;
        QFile out(parts.at(k));
        if (bytes > riffLimit)
            return fileops::lastComponent(out.fileName()) + QStringLiteral(" would be too large for a WAV file.");
        if (span.end() > format.frames)
            return fileops::lastComponent(source) + QStringLiteral(" is shorter than its header says.");
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fileError(out, QStringLiteral("write"));
        const QByteArray header = wavHeader(format.fmtChunk, bytes);
        if (!writeAll(out, header.constData(), header.size()))
            return fileError(out, QStringLiteral("write"));
        if (!in.seek(format.dataOffset + span.start * format.blockAlign))
            return fileError(in, QStringLiteral("read"));
        for (qint64 left = bytes; left > 0;) {
            if (cancel)
                return cancelledText;
            const qint64 chunk = std::min(left, bufferFrames * format.blockAlign);
            buffer.resize(chunk);
            if (in.read(buffer.data(), chunk) != chunk)
                return fileError(in, QStringLiteral("read"));
            if (!writeAll(out, buffer.constData(), chunk))
                return fileError(out, QStringLiteral("write"));
            left -= chunk;
        }
        if ((bytes & 1) && !writeAll(out, "", 1))
            return fileError(out, QStringLiteral("write"));
        if (!out.flush())
            return fileError(out, QStringLiteral("write"));
    }
    return {};
}

QString joinStem(const QStringList& parts, const QList<PartSpan>& spans, int inputRate, qint64 inputFrames,
                 const QString& destination, const std::atomic<bool>& cancel)
{
    if (parts.isEmpty() || parts.size() != spans.size() || inputRate <= 0)
        return QStringLiteral("The parts to join do not match the plan.");
    auto current = std::make_unique<FrameReader>();
    if (QString error = current->open(parts.first()); !error.isEmpty())
        return error;
    const WavFormat format = current->format();
    if (!format.canMix())
        return partName(parts.first()) + QStringLiteral(": Demucs wrote samples that cannot be joined.");
    const int outRate = format.sampleRate;
    // Where input frame f lands in the stem; exact for the plan's grid.
    const auto outFrame = [&](qint64 f) { return f * outRate / inputRate; };
    const qint64 total = outFrame(inputFrames);
    const qint64 slack = outRate == inputRate ? 0 : resampledSlack;
    const qint64 frameBytes = format.blockAlign;
    if (total * frameBytes > riffLimit)
        return fileops::lastComponent(destination) + QStringLiteral(" would be too large for a WAV file.");

    const auto check = [&](const FrameReader& reader, qsizetype k) -> QString {
        const qint64 expected = (k + 1 == spans.size() ? total : outFrame(spans.at(k).end())) -
                                outFrame(spans.at(k).start);
        const WavFormat& f = reader.format();
        const QString name = partName(parts.at(k));
        if (!sameLayout(f, format))
            return name + QStringLiteral(": its format differs from the first part's.");
        if (f.frames < expected - slack || (slack == 0 && f.frames != expected))
            return name + QStringLiteral(": %1 frames where %2 were expected.").arg(f.frames).arg(expected);
        return {};
    };
    if (QString error = check(*current, 0); !error.isEmpty())
        return error;

    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fileError(out, QStringLiteral("write"));
    const QByteArray header = wavHeader(format.fmtChunk, total * frameBytes);
    if (!writeAll(out, header.constData(), header.size()))
        return fileError(out, QStringLiteral("write"));

    QByteArray earlier, later;
    qint64 at = 0;  // the stem's frames written
    for (qsizetype k = 0; k < spans.size(); ++k) {
        const bool last = k + 1 == spans.size();
        // Only this part up to where the next begins, then both across the overlap.
        const qint64 soloEnd = last ? total : outFrame(spans.at(k + 1).start);
        while (at < soloEnd) {
            if (cancel)
                return cancelledText;
            const qint64 chunk = std::min(bufferFrames, soloEnd - at);
            if (QString error = current->read(chunk, earlier); !error.isEmpty())
                return error;
            if (!writeAll(out, earlier.constData(), chunk * frameBytes))
                return fileError(out, QStringLiteral("write"));
            at += chunk;
        }
        if (last)
            break;
        auto next = std::make_unique<FrameReader>();
        if (QString error = next->open(parts.at(k + 1)); !error.isEmpty())
            return error;
        if (QString error = check(*next, k + 1); !error.isEmpty())
            return error;
        const qint64 fadeStart = soloEnd;
        const qint64 fadeEnd = std::min(total, outFrame(spans.at(k).end()));
        const qint64 fadeFrames = fadeEnd - fadeStart;
        const int sampleBytes = frameBytes / format.channels;
        while (at < fadeEnd) {
            if (cancel)
                return cancelledText;
            const qint64 chunk = std::min(bufferFrames, fadeEnd - at);
            if (QString error = current->read(chunk, earlier); !error.isEmpty())
                return error;
            if (QString error = next->read(chunk, later); !error.isEmpty())
                return error;
            for (qint64 i = 0; i < chunk; ++i) {
                const double w = crossFadeWeight(at + i - fadeStart, fadeFrames);
                for (int c = 0; c < format.channels; ++c) {
                    const qint64 offset = i * frameBytes + c * sampleBytes;
                    const double mixed = (1 - w) * sampleAt(earlier.constData() + offset, format) +
                                         w * sampleAt(later.constData() + offset, format);
                    putSample(earlier.data() + offset, mixed, format);
                }
            }
            if (!writeAll(out, earlier.constData(), chunk * frameBytes))
                return fileError(out, QStringLiteral("write"));
            at += chunk;
        }
        current = std::move(next);
    }
    if ((total * frameBytes & 1) && !writeAll(out, "", 1))
        return fileError(out, QStringLiteral("write"));
    if (!out.flush())
        return fileError(out, QStringLiteral("write"));
    return {};
}

}  // namespace separation
