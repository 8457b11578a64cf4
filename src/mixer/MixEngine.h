#pragma once

// The mix itself: decoded stems summed at their gains, optionally stretched
// in time and shifted in pitch by SoundTouch, with a seek and a loop. The
// user's choices arrive through atomics from any thread and take effect at
// the next block, so the thread that renders never waits for another; only
// that one thread calls render().

#include "mixer/MixRules.h"
#include "mixer/StemLoader.h"

#include <QFile>

#include <atomic>
#include <memory>
#include <vector>

namespace soundtouch {
class SoundTouch;
}

namespace mixer {

class MixEngine {
public:
    static constexpr int channels = 2;  // what render() writes, interleaved

    // The stems must share sampleRate; they may still be decoding.
    MixEngine(DecodedStems stems, int sampleRate);
    ~MixEngine();
    MixEngine(const MixEngine&) = delete;
    MixEngine& operator=(const MixEngine&) = delete;

    int stemCount() const { return int(m_stems.size()); }
    int sampleRate() const { return m_sampleRate; }

    // The choices, from any thread.
    void setVolume(int stem, double volume);
    void setMuted(int stem, bool muted);
    void setSolo(int stem, bool solo);
    void setTempo(double tempo);
    void setPitch(int semitones);
    // Applies a whole set of choices, matched to the stems by position.
    void apply(const MixSettings& settings);
    void seek(qint64 frame);
    // A loop from start to end (frames); end <= start clears it. While it is
    // on, playing across end goes on at start.
    void setLoop(qint64 start, qint64 end);
    void setLoopEnabled(bool enabled);

    // What is being heard: the source frame of the last rendered output,
    // less what the stretcher still holds. Any thread.
    qint64 position() const { return m_heard.load(std::memory_order_relaxed); }
    // The longest stem's length so far; final once all are decoded.
    qint64 length() const;
    // Blocks render() filled with silence because decoding had not got there.
    quint64 decodeWaits() const { return m_decodeWaits.load(std::memory_order_relaxed); }

    // The rendering thread only. Writes up to frames frames of float samples
    // into out; fewer only when the end is reached without a loop, 0 after.
    qint64 render(float* out, qint64 frames);

private:
    struct Choice {
        std::atomic<float> volume{1.0f};
        std::atomic<bool> muted{false};
        std::atomic<bool> solo{false};
    };
    void gains(float* out) const;
    bool allComplete() const;
    qint64 readable() const;
    // Sums n frames from pos at the given gains into out (overwriting it).
    void mixInto(float* out, qint64 pos, qint64 n, const float* gains);
    qint64 renderPlain(float* out, qint64 frames, const float* gains);
    qint64 renderStretched(float* out, qint64 frames, const float* gains);
    // Back to the loop's start at its end (or the song's, whichever is first).
    void wrapLoop(qint64 end);
    // Where mixing from m_pos must stop: the loop's end inside the loop, else end.
    qint64 limitBefore(qint64 end) const;

    DecodedStems m_stems;
    int m_sampleRate;
    std::unique_ptr<Choice[]> m_choices;
    std::atomic<double> m_tempo{1.0};
    std::atomic<int> m_pitch{0};
    std::atomic<qint64> m_seekTo{-1};
    std::atomic<qint64> m_loopStart{0};
    std::atomic<qint64> m_loopEnd{0};
    std::atomic<bool> m_loopOn{false};
    std::atomic<qint64> m_heard{0};
    std::atomic<quint64> m_decodeWaits{0};

    // The rendering thread's own.
    qint64 m_pos = 0;  // the next source frame to mix
    bool m_stretching = false;
    bool m_flushed = false;
    double m_appliedTempo = 1.0;
    int m_appliedPitch = 0;
    std::unique_ptr<soundtouch::SoundTouch> m_stretcher;
    std::unique_ptr<QFile[]> m_files;
    std::vector<qint16> m_samples;
    std::vector<float> m_block;
};

}  // namespace mixer
