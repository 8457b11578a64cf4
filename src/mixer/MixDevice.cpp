#include "mixer/MixDevice.h"

#include <algorithm>
#include <cmath>

namespace mixer {

void toInt16(const float* in, qint16* out, qint64 samples)
{
    for (qint64 i = 0; i < samples; ++i)
        out[i] = qint16(std::lrint(std::clamp(in[i], -1.0f, 1.0f) * 32767.0f));
}

MixDevice::MixDevice(MixEngine& engine, QObject* parent) : QIODevice(parent), m_engine(engine) {}

qint64 MixDevice::bytesAvailable() const
{
    if (ended())
        return QIODevice::bytesAvailable();
    return qint64(m_engine.sampleRate()) * MixEngine::channels * qint64(sizeof(qint16)) +
           QIODevice::bytesAvailable();
}

qint64 MixDevice::readData(char* data, qint64 maxSize)
{
    const qint64 frames = maxSize / (MixEngine::channels * qint64(sizeof(qint16)));
    if (frames <= 0 || ended())
        return 0;
    const size_t samples = size_t(frames) * MixEngine::channels;
    // Grows once to the sink's period, then never allocates again.
    if (m_buffer.size() < samples)
        m_buffer.resize(samples);
    const qint64 got = m_engine.render(m_buffer.data(), frames);
    if (got < frames)
        m_ended.store(true, std::memory_order_relaxed);
    toInt16(m_buffer.data(), reinterpret_cast<qint16*>(data), got * MixEngine::channels);
    return got * MixEngine::channels * qint64(sizeof(qint16));
}

}  // namespace mixer
