#pragma once

// The mix as a stream of 16-bit stereo samples for an audio sink that pulls
// it (QAudioSink in pull mode). readData runs on the sink's thread and only
// renders: it never waits for another thread.

#include "mixer/MixEngine.h"

#include <QIODevice>

#include <atomic>
#include <vector>

namespace mixer {

// Float samples to 16-bit, clipped to full scale.
void toInt16(const float* in, qint16* out, qint64 samples);

class MixDevice : public QIODevice {
    Q_OBJECT
public:
    explicit MixDevice(MixEngine& engine, QObject* parent = nullptr);

    bool isSequential() const override { return true; }
    // Always a second ahead: a sink in pull mode reads what it is told is there.
    qint64 bytesAvailable() const override;
    // The mix came to its end (no loop); reset by a seek through rewind().
    bool ended() const { return m_ended.load(std::memory_order_relaxed); }
    void rewind() { m_ended.store(false, std::memory_order_relaxed); }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    MixEngine& m_engine;
    std::vector<float> m_buffer;
    std::atomic<bool> m_ended{false};
};

}  // namespace mixer
