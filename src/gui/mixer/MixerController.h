#pragma once

#include "base/PlatformProfile.h"
#include "jobs/Job.h"
#include "mixer/MixJob.h"
#include "mixer/MixRules.h"
#include "mixer/StemFolder.h"
#include "separation/ExportFormat.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QAudioSink;
class QThread;
class QTimer;

namespace mixer {
class MixDevice;
class MixEngine;
class StemLoader;
}  // namespace mixer

// The mixer of one stems folder, without widgets: it decodes the stems,
// mixes them and plays the mix on the default audio output, and saves mixes.
// The audio sink pulls from its own thread (the mixer thread), which never
// waits for this one: choices reach the engine through its atomics, and what
// is heard is polled from here about 30 times a second.
class MixerController : public QObject {
    Q_OBJECT
public:
    MixerController(const PlatformProfile& profile, mixer::StemFolder folder, QObject* parent = nullptr);
    // Stops playback and any save, and removes the decoded stems.
    ~MixerController() override;

    // Starts decoding; false when that could not begin (logged).
    bool start();

    const mixer::StemFolder& folder() const { return m_folder; }
    const mixer::StemLoader& loader() const { return *m_loader; }
    const mixer::MixSettings& settings() const { return m_settings; }
    // Whether there is a device to play on (checked once, at construction).
    bool hasAudioOutput() const { return m_hasOutput; }
    bool isPlayable() const { return m_engine != nullptr; }
    bool isPlaying() const { return m_playing; }
    bool isSaving() const { return m_saveJob != nullptr; }
    int sampleRate() const;
    qint64 position() const;
    qint64 length() const;
    int underruns() const { return m_underruns; }

    // The format Save Mix uses unless the chosen name's extension says otherwise.
    std::function<separation::ExportFormat()> exportFormat = [] { return separation::ExportFormat::aac; };

    // ---- the musician's choices -------------------------------------------
    void setVolume(int stem, double volume);
    void setMuted(int stem, bool muted);
    void setSolo(int stem, bool solo);
    void setTempo(double tempo);
    void setPitch(int semitones);
    void seek(qint64 frame);
    // end <= start: the whole recording.
    void setLoopRegion(qint64 start, qint64 end);
    void setLoopEnabled(bool enabled);
    bool loopEnabled() const { return m_loopOn; }
    qint64 loopStart() const { return m_loopStart; }
    qint64 loopEnd() const { return m_loopEnd; }

    // ---- transport -----------------------------------------------------------
    void play();
    void pause();
    void togglePlaying();

    // ---- saving ---------------------------------------------------------------
    // Where Save Mix suggests: mixes/ + the mix's name + the format's extension.
    QString suggestedMixPath() const;
    // Saves the current mix at path, in the format its extension names (the
    // export format when it names none, which is then added). False when a
    // save is already running.
    bool saveMix(const QString& path);

    // m:ss, or h:mm:ss from an hour on.
    static QString timeText(qint64 frames, int sampleRate);

signals:
    void logEntries(const QStringList& entries);
    void alert(const Alert& alert);
    void playable();
    void decodingFinished(bool ok);
    void peaksAdded(int stem);
    void playingChanged(bool playing);
    // About 30 times a second while the window is open: what is heard.
    void positionChanged(qint64 frame, qint64 length);
    void loopChanged();
    void savingChanged(bool saving);

private:
    void onPlayable();
    void onDecoded(bool ok);
    void poll();
    void onSinkState(int state, int error);
    void noteUnderrun();
    void applyLoop();
    void log(const QString& text) { emit logEntries({text}); }
    // Runs f on the mixer thread, without waiting for it.
    template <typename F>
    void onMixerThread(F f);

    const PlatformProfile& m_profile;
    mixer::StemFolder m_folder;
    mixer::MixSettings m_settings;
    std::unique_ptr<mixer::StemLoader> m_loader;
    std::unique_ptr<mixer::MixEngine> m_engine;
    // The mixer thread's: the context of its calls, the device and the sink.
    QThread* m_thread = nullptr;
    QObject* m_audioContext = nullptr;
    mixer::MixDevice* m_device = nullptr;
    QAudioSink* m_sink = nullptr;
    QTimer* m_pollTimer = nullptr;
    QPointer<mixer::MixJob> m_saveJob;
    bool m_hasOutput = false;
    bool m_playing = false;
    bool m_sinkStarted = false;
    bool m_loopOn = false;
    qint64 m_loopStart = 0;
    qint64 m_loopEnd = 0;
    quint64 m_seenDecodeWaits = 0;
    bool m_decodeWaiting = false;
    int m_underruns = 0;
    QElapsedTimer m_opened;  // since decoding began: the log says when playing could start
};
