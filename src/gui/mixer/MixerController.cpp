#include "gui/mixer/MixerController.h"

#include "base/ClockText.h"

#include "mixer/MixDevice.h"
#include "mixer/MixEngine.h"
#include "mixer/MixJob.h"
#include "mixer/StemLoader.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {
constexpr int pollIntervalMs = 33;
}  // namespace

MixerController::MixerController(const PlatformProfile& profile, mixer::StemFolder folder, QObject* parent)
    : QObject(parent),
      m_profile(profile),
      m_folder(std::move(folder)),
      m_loader(std::make_unique<mixer::StemLoader>(profile, m_folder)),
      m_hasOutput(!QMediaDevices::audioOutputs().isEmpty())
{
    for (const mixer::StemFile& stem : std::as_const(m_folder.stems))
        m_settings.stems.append({stem.name});
    connect(m_loader.get(), &mixer::StemLoader::peaksAdded, this, [this](int stem) { emit peaksAdded(stem); });
    connect(m_loader.get(), &mixer::StemLoader::playable, this, &MixerController::onPlayable);
    connect(m_loader.get(), &mixer::StemLoader::finished, this, &MixerController::onDecoded);
    m_pollTimer = new QTimer(this);
    m_pollTimer->setInterval(pollIntervalMs);
    connect(m_pollTimer, &QTimer::timeout, this, &MixerController::poll);
}

MixerController::~MixerController()
{
    // The save reads the decoded stems: it ends before they go.
    delete m_saveJob.data();
    if (m_thread) {
        // The sink stops and goes on its own thread, then the thread ends;
        // only then may the engine it pulled from go.
        QMetaObject::invokeMethod(
            m_audioContext,
            [this] {
                delete m_sink;
                m_sink = nullptr;
                delete m_device;
                m_device = nullptr;
            },
            Qt::BlockingQueuedConnection);
        m_thread->quit();
        m_thread->wait();
        delete m_audioContext;
        delete m_thread;
    } else {
        delete m_device;
    }
    m_engine.reset();
    m_loader.reset();  // removes the decoded stems
}

bool MixerController::start()
{
    if (!m_loader->start()) {
        log(m_loader->error());
        return false;
    }
    m_pollTimer->start();
    m_opened.start();
    return true;
}

int MixerController::sampleRate() const
{
    return m_loader->sampleRate() > 0 ? m_loader->sampleRate() : 44100;
}

qint64 MixerController::position() const
{
    return m_engine ? m_engine->position() : 0;
}

qint64 MixerController::length() const
{
    return m_loader->frames();
}

template <typename F>
void MixerController::onMixerThread(F f)
{
    QMetaObject::invokeMethod(m_audioContext, std::move(f), Qt::QueuedConnection);
}

void MixerController::onPlayable()
{
    m_engine = std::make_unique<mixer::MixEngine>(m_loader->stems(), m_loader->sampleRate());
    m_engine->apply(m_settings);
    applyLoop();
    if (m_hasOutput) {
        // Made here, then handed to the mixer thread, which alone reads it.
        m_device = new mixer::MixDevice(*m_engine);
        m_device->open(QIODevice::ReadOnly);
        m_thread = new QThread;
        m_thread->setObjectName(QStringLiteral("mixer"));
        m_audioContext = new QObject;
        m_audioContext->moveToThread(m_thread);
        m_device->moveToThread(m_thread);
        m_thread->start(QThread::TimeCriticalPriority);
        QAudioFormat format;
        format.setSampleRate(m_engine->sampleRate());
        format.setChannelCount(mixer::MixEngine::channels);
        format.setSampleFormat(QAudioFormat::Int16);
        onMixerThread([this, format] {
            m_sink = new QAudioSink(QMediaDevices::defaultAudioOutput(), format, m_audioContext);
            // Read on this thread, handed on without waiting.
            connect(m_sink, &QAudioSink::stateChanged, m_audioContext, [this](QAudio::State state) {
                const int error = int(m_sink->error());
                QMetaObject::invokeMethod(this, [this, state, error] { onSinkState(int(state), error); },
                                          Qt::QueuedConnection);
            });
        });
    }
    log(QStringLiteral("Ready to play after %1 s.").arg(m_opened.elapsed() / 1000.0, 0, 'f', 2));
    emit playable();
}

void MixerController::onDecoded(bool ok)
{
    if (!ok) {
        log(m_loader->error());
        emit decodingFinished(false);
        return;
    }
    log(QStringLiteral("Decoded %1 stems (%2) in %3 s.")
            .arg(m_folder.stems.size())
            .arg(timeText(m_loader->frames(), sampleRate()))
            .arg(m_opened.elapsed() / 1000.0, 0, 'f', 2));
    // A loop over the whole recording needs its end.
    applyLoop();
    emit decodingFinished(true);
}

void MixerController::poll()
{
    if (!m_engine) {
        emit positionChanged(0, length());
        return;
    }
    // A stall of decoding is one underrun however many blocks it lasts.
    const quint64 waits = m_engine->decodeWaits();
    const bool waiting = waits > m_seenDecodeWaits;
    if (waiting && !m_decodeWaiting && m_playing)
        noteUnderrun();
    m_decodeWaiting = waiting;
    m_seenDecodeWaits = waits;
    if (m_playing && m_device && m_device->ended()) {
        m_playing = false;
        // What the sink still holds is played out before it stops.
        onMixerThread([this] {
            const QAudioFormat format = m_sink->format();
            const int heldMs = int(format.durationForBytes(m_sink->bufferSize()) / 1000);
            QTimer::singleShot(heldMs, m_audioContext, [this] {
                if (m_device->ended())
                    m_sink->stop();
            });
        });
        emit playingChanged(false);
    }
    emit positionChanged(m_engine->position(), length());
}

void MixerController::onSinkState(int state, int error)
{
    const bool starved = state == int(QAudio::IdleState) || error == int(QAudio::UnderrunError);
    if (starved && m_playing && m_device && !m_device->ended())
        noteUnderrun();
    if (error == int(QAudio::OpenError) || error == int(QAudio::FatalError)) {
        log(QStringLiteral("The audio output failed."));
        if (m_playing) {
            m_playing = false;
            emit playingChanged(false);
        }
    }
}

void MixerController::noteUnderrun()
{
    ++m_underruns;
    log(QStringLiteral("Underrun at %1 (%2 so far).").arg(timeText(position(), sampleRate())).arg(m_underruns));
}

void MixerController::setVolume(int stem, double volume)
{
    m_settings.stems[stem].volume = std::clamp(volume, 0.0, 1.0);
    if (m_engine)
        m_engine->setVolume(stem, volume);
}

void MixerController::setMuted(int stem, bool muted)
{
    m_settings.stems[stem].muted = muted;
    if (m_engine)
        m_engine->setMuted(stem, muted);
}

void MixerController::setSolo(int stem, bool solo)
{
    m_settings.stems[stem].solo = solo;
    if (m_engine)
        m_engine->setSolo(stem, solo);
}

void MixerController::setTempo(double tempo)
{
    m_settings.tempo = std::clamp(tempo, mixer::minTempo, mixer::maxTempo);
    if (m_engine)
        m_engine->setTempo(m_settings.tempo);
}

void MixerController::setPitch(int semitones)
{
    m_settings.pitchSemitones = std::clamp(semitones, -mixer::maxPitchSemitones, mixer::maxPitchSemitones);
    if (m_engine)
        m_engine->setPitch(m_settings.pitchSemitones);
}

void MixerController::seek(qint64 frame)
{
    if (!m_engine)
        return;
    m_engine->seek(std::clamp<qint64>(frame, 0, length()));
    if (m_device)
        m_device->rewind();
}

void MixerController::setLoopRegion(qint64 start, qint64 end)
{
    m_loopStart = std::max<qint64>(0, start);
    m_loopEnd = std::max<qint64>(0, end);
    applyLoop();
    emit loopChanged();
}

void MixerController::setLoopEnabled(bool enabled)
{
    m_loopOn = enabled;
    applyLoop();
    emit loopChanged();
}

void MixerController::applyLoop()
{
    if (!m_engine)
        return;
    const bool region = m_loopEnd > m_loopStart;
    // Without a region the whole recording repeats, once its end is known.
    const qint64 start = region ? m_loopStart : 0;
    const qint64 end = region ? m_loopEnd : (m_loader->isComplete() ? m_loader->frames() : 0);
    m_engine->setLoop(start, end);
    m_engine->setLoopEnabled(m_loopOn);
    // The engine repeats only a region it is in: a loop elsewhere starts at its start.
    const qint64 at = m_engine->position();
    if (m_loopOn && end > start && (at < start || at >= end))
        seek(start);
}

void MixerController::play()
{
    if (!m_engine || !m_device || m_playing)
        return;
    // After the end, Play starts again from the top (or the loop's start).
    if (m_device->ended())
        seek(m_loopOn && m_loopEnd > m_loopStart ? m_loopStart : 0);
    m_playing = true;
    onMixerThread([this] {
        if (m_sink->state() == QAudio::SuspendedState)
            m_sink->resume();
        else if (m_sink->state() == QAudio::StoppedState)
            m_sink->start(m_device);
    });
    emit playingChanged(true);
}

void MixerController::pause()
{
    if (!m_playing)
        return;
    m_playing = false;
    onMixerThread([this] {
        if (m_sink->state() == QAudio::ActiveState || m_sink->state() == QAudio::IdleState)
            m_sink->suspend();
    });
    emit playingChanged(false);
}

void MixerController::togglePlaying()
{
    if (m_playing)
        pause();
    else
        play();
}

QString MixerController::suggestedMixPath() const
{
    return mixer::defaultMixPath(m_folder, m_settings, exportFormat());
}

bool MixerController::saveMix(const QString& path)
{
    if (m_saveJob)
        return false;
    QString output = path;
    std::optional<separation::ExportFormat> format = separation::formatFromExtension(QFileInfo(path).suffix());
    if (!format) {
        format = exportFormat();
        output += QLatin1Char('.') + separation::formatExtension(*format);
    }
    mixer::MixJob::Params params;
    params.profile = m_profile;
    params.folder = m_folder;
    params.settings = m_settings;
    params.format = *format;
    params.output = output;
    // The window's decoded stems when they are complete; else the job decodes.
    params.decoded = m_loader->stems();
    params.sampleRate = m_loader->sampleRate();
    auto* job = new mixer::MixJob(std::move(params), this);
    m_saveJob = job;
    connect(job, &Job::logEntries, this, &MixerController::logEntries);
    connect(job, &Job::alert, this, &MixerController::alert);
    connect(job, &Job::finished, this, [this, job] {
        job->deleteLater();
        m_saveJob = nullptr;
        emit savingChanged(false);
    });
    emit savingChanged(true);
    job->start();
    return true;
}

QString MixerController::timeText(qint64 frames, int sampleRate)
{
    return clockText(sampleRate > 0 ? frames / sampleRate : 0);
}
