#pragma once

// Decodes every stem of a folder into the cache as 16-bit WAV, one converter
// a stem, all at once. The mixer reads a stem while it is still being
// written, so playback starts after the first seconds rather than after the
// whole song; a worker follows the files as they grow and computes the
// waveform overview on the way. The decoded audio lives in files, not in
// memory: an hour of six stems costs the page cache, not the process.

#include "base/PlatformProfile.h"
#include "mixer/StemFolder.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>
#include <memory>
#include <thread>

namespace separation {
class ConversionRun;
}

namespace mixer {

// One stem's decoded audio as it grows. The loader's worker writes it; the
// mixer and the window read it from any thread. channels and sampleRate are
// set before dataOffset, which publishes them.
struct DecodedStem {
    QString name;
    QString path;  // the decoded WAV
    std::atomic<int> channels{0};
    std::atomic<int> sampleRate{0};
    std::atomic<qint64> dataOffset{-1};  // -1 until the header is read
    std::atomic<qint64> frames{0};       // whole frames that can be read now
    std::atomic<bool> complete{false};   // frames is final
};
using DecodedStems = QList<std::shared_ptr<DecodedStem>>;

// Frames a waveform peak covers: 5.8 ms at 44.1 kHz, finer than a pixel of
// any overview of a song.
inline constexpr int framesPerPeak = 256;

// The peaks of 16-bit interleaved frames, framesPerPeak frames each: a
// minimum then a maximum over every channel. The last peak may cover fewer.
QVector<qint16> peaksOf(const qint16* samples, qint64 frames, int channels);

class StemLoader : public QObject {
    Q_OBJECT
public:
    StemLoader(const PlatformProfile& profile, StemFolder folder, QObject* parent = nullptr);
    // Stops the converters and the worker and removes the decoded files.
    ~StemLoader() override;

    // Creates the cache folder and starts the converters; false with error()
    // when that fails (finished() is not emitted then).
    bool start();
    const StemFolder& folder() const { return m_folder; }
    const DecodedStems& stems() const { return m_stems; }
    // Every peak computed so far of a stem (see framesPerPeak).
    const QVector<qint16>& peaks(int stem) const { return m_peaks[stem]; }
    bool isComplete() const { return m_complete; }
    // The sample rate every stem shares; 0 until known.
    int sampleRate() const { return m_sampleRate; }
    // The longest stem's frames decoded so far; its length once complete.
    qint64 frames() const;
    QString error() const { return m_error; }

    // Enough is decoded of every stem to start playing: this many frames, or
    // all of it.
    static constexpr qint64 playableFrames = 3 * 44100;

signals:
    // Peaks of a stem, appended after those before (index of the first).
    void peaksAdded(int stem, qsizetype first);
    // Every stem's header is known and its first seconds decoded.
    void playable();
    // All decoded (ok), or a converter or a header failed: error() says why.
    void finished(bool ok);

private:
    void follow();
    void onConversionFinished(int stem);
    void fail(const QString& error);
    void stopWorker();

    const PlatformProfile& m_profile;
    StemFolder m_folder;
    QString m_cacheFolder;
    DecodedStems m_stems;
    QList<separation::ConversionRun*> m_conversions;
    QList<QVector<qint16>> m_peaks;
    std::unique_ptr<std::atomic<int>[]> m_converted;  // 0 running, 1 done, -1 failed
    std::atomic<bool> m_stop{false};
    std::thread m_worker;
    int m_sampleRate = 0;
    bool m_complete = false;
    bool m_playable = false;
    bool m_failed = false;
    QString m_error;
};

// The folder prefix of decoded stems in the temporary folder, for the sweep
// of what a killed run left.
inline const QString cacheFolderPrefix = QStringLiteral("stemloft-mixer-");

// A temporary folder of this process in tempDir (see cacheFolderPrefix),
// marked as its own so that a later start can remove it once it is gone.
// Throws AppError.
QString makeCacheFolder(const QString& tempDir);

}  // namespace mixer
