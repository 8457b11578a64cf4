#include "mixer/MixEngine.h"

#include <QVarLengthArray>

#include <SoundTouch.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace mixer {

namespace {
// Frames mixed at a time: 93 ms at 44.1 kHz, 32 KB of float samples.
constexpr qint64 blockFrames = 4096;
constexpr qint64 noEnd = std::numeric_limits<qint64>::max();
}  // namespace

MixEngine::MixEngine(DecodedStems stems, int sampleRate)
    : m_stems(std::move(stems)),
      m_sampleRate(sampleRate),
      m_choices(std::make_unique<Choice[]>(size_t(m_stems.size()))),
      m_stretcher(std::make_unique<soundtouch::SoundTouch>()),
      m_files(std::make_unique<QFile[]>(size_t(m_stems.size()))),
      m_samples(size_t(blockFrames) * channels),
      m_block(size_t(blockFrames) * channels)
{
    m_stretcher->setSampleRate(uint(sampleRate));
    m_stretcher->setChannels(channels);
}

MixEngine::~MixEngine() = default;

void MixEngine::setVolume(int stem, double volume)
{
    m_choices[size_t(stem)].volume.store(float(std::clamp(volume, 0.0, 1.0)), std::memory_order_relaxed);
}

void MixEngine::setMuted(int stem, bool muted)
{
    m_choices[size_t(stem)].muted.store(muted, std::memory_order_relaxed);
}

void MixEngine::setSolo(int stem, bool solo)
{
    m_choices[size_t(stem)].solo.store(solo, std::memory_order_relaxed);
}

void MixEngine::setTempo(double tempo)
{
    m_tempo.store(std::clamp(tempo, minTempo, maxTempo), std::memory_order_relaxed);
}

void MixEngine::setPitch(int semitones)
{
    m_pitch.store(std::clamp(semitones, -maxPitchSemitones, maxPitchSemitones), std::memory_order_relaxed);
}

void MixEngine::apply(const MixSettings& settings)
{
    for (int i = 0; i < std::min(stemCount(), int(settings.stems.size())); ++i) {
        setVolume(i, settings.stems[i].volume);
        setMuted(i, settings.stems[i].muted);
        setSolo(i, settings.stems[i].solo);
    }
    setTempo(settings.tempo);
    setPitch(settings.pitchSemitones);
}

void MixEngine::seek(qint64 frame)
{
    m_seekTo.store(std::max<qint64>(0, frame), std::memory_order_relaxed);
    m_heard.store(std::max<qint64>(0, frame), std::memory_order_relaxed);
}

void MixEngine::setLoop(qint64 start, qint64 end)
{
    m_loopStart.store(std::max<qint64>(0, start), std::memory_order_relaxed);
    m_loopEnd.store(std::max<qint64>(0, end), std::memory_order_relaxed);
}

void MixEngine::setLoopEnabled(bool enabled)
{
    m_loopOn.store(enabled, std::memory_order_relaxed);
}

qint64 MixEngine::length() const
{
    qint64 longest = 0;
    for (const auto& stem : m_stems)
        longest = std::max(longest, stem->frames.load(std::memory_order_acquire));
    return longest;
}

bool MixEngine::allComplete() const
{
    return std::all_of(m_stems.begin(), m_stems.end(),
                       [](const auto& stem) { return stem->complete.load(std::memory_order_acquire); });
}

qint64 MixEngine::readable() const
{
    qint64 least = noEnd;
    for (const auto& stem : m_stems) {
        if (!stem->complete.load(std::memory_order_acquire))
            least = std::min(least, stem->frames.load(std::memory_order_acquire));
    }
    return least;
}

void MixEngine::gains(float* out) const
{
    bool soloing = false;
    for (int i = 0; i < stemCount(); ++i)
        soloing = soloing || m_choices[size_t(i)].solo.load(std::memory_order_relaxed);
    for (int i = 0; i < stemCount(); ++i) {
        const Choice& choice = m_choices[size_t(i)];
        StemSetting setting;
        setting.volume = choice.volume.load(std::memory_order_relaxed);
        setting.muted = choice.muted.load(std::memory_order_relaxed);
        setting.solo = choice.solo.load(std::memory_order_relaxed);
        out[i] = float(effectiveGain(setting, soloing));
    }
}

void MixEngine::mixInto(float* out, qint64 pos, qint64 n, const float* gain)
{
    std::fill(out, out + n * channels, 0.0f);
    for (int i = 0; i < stemCount(); ++i) {
        if (gain[i] == 0.0f)
            continue;
        DecodedStem& stem = *m_stems[i];
        const qint64 count = std::clamp<qint64>(stem.frames.load(std::memory_order_acquire) - pos, 0, n);
        const qint64 offset = stem.dataOffset.load(std::memory_order_acquire);
        if (count == 0 || offset < 0)
            continue;
        QFile& file = m_files[size_t(i)];
        if (!file.isOpen()) {
            file.setFileName(stem.path);
            if (!file.open(QIODevice::ReadOnly))
                continue;
        }
        const int stemChannels = stem.channels.load(std::memory_order_relaxed);
        const qint64 bytes = count * stemChannels * qint64(sizeof(qint16));
        if (!file.seek(offset + pos * stemChannels * qint64(sizeof(qint16))) ||
            file.read(reinterpret_cast<char*>(m_samples.data()), bytes) != bytes)
            continue;
        const float g = gain[i];
        constexpr float scale = 1.0f / 32768.0f;
        if (stemChannels == 2) {
            for (qint64 k = 0; k < count * 2; ++k)
                out[k] += g * (float(m_samples[size_t(k)]) * scale);
        } else {
            for (qint64 k = 0; k < count; ++k) {
                const float value = g * (float(m_samples[size_t(k)]) * scale);
                out[2 * k] += value;
                out[2 * k + 1] += value;
            }
        }
    }
}

void MixEngine::wrapLoop(qint64 end)
{
    // A loop that reaches past the song's end wraps at the end.
    const qint64 start = m_loopStart.load(std::memory_order_relaxed);
    const qint64 loopEnd = std::min(m_loopEnd.load(std::memory_order_relaxed), end);
    if (m_loopOn.load(std::memory_order_relaxed) && loopEnd > start && m_pos == loopEnd)
        m_pos = start;
}

qint64 MixEngine::limitBefore(qint64 end) const
{
    const qint64 start = m_loopStart.load(std::memory_order_relaxed);
    const qint64 loopEnd = m_loopEnd.load(std::memory_order_relaxed);
    const bool looping =
        m_loopOn.load(std::memory_order_relaxed) && loopEnd > start && m_pos >= start && m_pos < loopEnd;
    return looping ? std::min(loopEnd, end) : end;
}

qint64 MixEngine::render(float* out, qint64 frames)
{
    if (const qint64 to = m_seekTo.exchange(-1, std::memory_order_relaxed); to >= 0) {
        m_pos = to;
        m_stretcher->clear();
        m_flushed = false;
    }
    const double tempo = m_tempo.load(std::memory_order_relaxed);
    const int pitch = m_pitch.load(std::memory_order_relaxed);
    const bool stretch = changesTime(tempo, pitch);
    if (stretch != m_stretching) {
        // What the stretcher held is dropped; the plain mix goes on from
        // what was heard, so nothing is skipped.
        if (!stretch)
            m_pos = m_heard.load(std::memory_order_relaxed);
        m_stretcher->clear();
        m_flushed = false;
        m_stretching = stretch;
    }
    if (stretch && (tempo != m_appliedTempo || pitch != m_appliedPitch)) {
        m_stretcher->setTempo(tempo);
        m_stretcher->setPitchSemiTones(pitch);
        m_appliedTempo = tempo;
        m_appliedPitch = pitch;
    }
    QVarLengthArray<float, 16> gain(stemCount());
    gains(gain.data());
    return stretch ? renderStretched(out, frames, gain.data()) : renderPlain(out, frames, gain.data());
}

qint64 MixEngine::renderPlain(float* out, qint64 frames, const float* gain)
{
    qint64 written = 0;
    while (written < frames) {
        const qint64 end = allComplete() ? length() : noEnd;
        wrapLoop(end);
        if (m_pos >= end)
            break;
        const qint64 limit = limitBefore(end);
        const qint64 n = std::min({frames - written, limit - m_pos, readable() - m_pos, blockFrames});
        if (n <= 0) {
            // Decoding is behind: silence now, the same place next time.
            std::fill(out + written * channels, out + frames * channels, 0.0f);
            m_decodeWaits.fetch_add(1, std::memory_order_relaxed);
            written = frames;
            break;
        }
        mixInto(out + written * channels, m_pos, n, gain);
        m_pos += n;
        written += n;
    }
    m_heard.store(m_pos, std::memory_order_relaxed);
    return written;
}

qint64 MixEngine::renderStretched(float* out, qint64 frames, const float* gain)
{
    qint64 written = 0;
    while (written < frames) {
        written += m_stretcher->receiveSamples(out + written * channels, uint(frames - written));
        if (written >= frames)
            break;
        if (m_flushed) {
            if (m_stretcher->numSamples() == 0)
                break;
            continue;
        }
        const qint64 end = allComplete() ? length() : noEnd;
        wrapLoop(end);
        if (m_pos >= end) {
            m_stretcher->flush();
            m_flushed = true;
            continue;
        }
        const qint64 limit = limitBefore(end);
        const qint64 n = std::min({limit - m_pos, readable() - m_pos, blockFrames});
        if (n <= 0) {
            std::fill(out + written * channels, out + frames * channels, 0.0f);
            m_decodeWaits.fetch_add(1, std::memory_order_relaxed);
            written = frames;
            break;
        }
        mixInto(m_block.data(), m_pos, n, gain);
        m_stretcher->putSamples(m_block.data(), uint(n));
        m_pos += n;
    }
    const double held = m_stretcher->numUnprocessedSamples() + m_stretcher->numSamples() * m_appliedTempo;
    m_heard.store(std::max<qint64>(0, m_pos - std::llround(held)), std::memory_order_relaxed);
    return written;
}

}  // namespace mixer
