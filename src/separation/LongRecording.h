#pragma once

// A recording too long for Demucs's memory: the WAV Demucs would read is cut
// into overlapping parts, Demucs separates them in one run, and each stem's
// parts are joined back with a linear cross-fade across every overlap. Both
// steps stream through small buffers: a stem of hours never sits in memory.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <optional>
#include <variant>

namespace separation {

// What the parts of a WAV need from its header. Any format whose blocks are
// whole frames can be cut (PCM, float, A-law, mu-law, their extensible forms);
// joining mixes samples, so it takes 16/24/32-bit PCM and 32-bit float.
struct WavFormat {
    enum class Samples { pcm, floating, companded };
    Samples samples = Samples::pcm;
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    int blockAlign = 0;       // bytes per frame
    QByteArray fmtChunk;      // the "fmt " chunk's body, copied into the parts as it is
    qint64 dataOffset = 0;    // where the samples start in the file
    qint64 frames = 0;        // whole frames the file holds (a data size past its end is cut back)

    bool canMix() const
    {
        return (samples == Samples::pcm && (bitsPerSample == 16 || bitsPerSample == 24 || bitsPerSample == 32)) ||
               (samples == Samples::floating && bitsPerSample == 32);
    }
};

// The header of a RIFF/WAVE file from its first bytes (the data chunk must
// start among them) and its size; the reason when it is none the parts can
// take (ADPCM and other formats whose blocks hold many frames, RF64, ...).
std::variant<WavFormat, QString> parseWavHeader(const QByteArray& head, qint64 fileSize);
// parseWavHeader of a file.
std::variant<WavFormat, QString> readWavHeader(const QString& path);

// One part: where it starts in the recording and how many frames it holds.
struct PartSpan {
    qint64 start = 0;
    qint64 frames = 0;
    qint64 end() const { return start + frames; }
};

// The parts of frames frames, each at most partFrames long, each overlapping
// the next by overlapFrames. Starts and lengths are multiples of grid, so
// that a resampled part's frames fall on the resampled recording's frames;
// only the last part may end off the grid. One part when frames do not need
// more. The last part is always longer than the overlap.
QList<PartSpan> planParts(qint64 frames, qint64 partFrames, qint64 overlapFrames, qint64 grid = 1);

// The input frames between which a resampling from inputRate to outputRate
// lands on whole output frames (160 for 48000 to 44100).
qint64 resamplingGrid(int inputRate, int outputRate);

// The weight of the later part at frame index of an overlap frames long
// (the earlier one has 1 minus it): a straight line from near 0 to near 1.
double crossFadeWeight(qint64 index, qint64 frames);

// The long-recording settings of a run, in seconds.
struct PartSettings {
    double thresholdSeconds = 0;  // longer than this is cut
    double partSeconds = 0;
    double overlapSeconds = 0;
};
// The parts of a WAV of that format under these settings; one when it is not long.
QList<PartSpan> planFor(const WavFormat& format, const PartSettings& settings, int outputRate = 44100);

// Writes each span of the WAV at source into its own file (the names in
// parts, one per span), each a WAV with the source's format. Returns the
// error text, empty when it worked. cancel is read between buffers.
QString splitWav(const QString& source, const WavFormat& format, const QList<PartSpan>& spans,
                 const QStringList& parts, const std::atomic<bool>& cancel);

// Joins one stem: parts[k] holds the stem of the input span spans[k]
// (inputRate), at whatever rate Demucs wrote it. The result, at that rate,
// covers the whole recording (inputFrames) and is written to destination.
// Each part is read from its start to its end once. Returns the error text,
// empty when it worked.
QString joinStem(const QStringList& parts, const QList<PartSpan>& spans, int inputRate, qint64 inputFrames,
                 const QString& destination, const std::atomic<bool>& cancel);

// The text for a step that was cancelled: not an error the user sees.
inline const QString cancelledText = QStringLiteral("cancelled");

}  // namespace separation
