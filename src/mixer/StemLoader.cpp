#include "mixer/StemLoader.h"

#include "base/AppError.h"
#include "base/FileOps.h"
#include "process/Ownership.h"
#include "separation/AudioConversion.h"
#include "separation/LongRecording.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <algorithm>
#include <chrono>
#include <limits>
#include <vector>

namespace mixer {

QVector<qint16> peaksOf(const qint16* samples, qint64 frames, int channels)
{
    QVector<qint16> peaks;
    peaks.reserve(int((frames + framesPerPeak - 1) / framesPerPeak) * 2);
    for (qint64 start = 0; start < frames; start += framesPerPeak) {
        const qint64 end = std::min(frames, start + framesPerPeak);
        qint16 low = std::numeric_limits<qint16>::max();
        qint16 high = std::numeric_limits<qint16>::min();
        for (qint64 i = start * channels; i < end * channels; ++i) {
            low = std::min(low, samples[i]);
            high = std::max(high, samples[i]);
        }
        peaks << low << high;
    }
    return peaks;
}

QString makeCacheFolder(const QString& tempDir)
{
    const QString folder = fileops::appendingComponent(
        fileops::fileURLPath(tempDir),
        cacheFolderPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    try {
        fileops::createDirectories(folder);
        ownership::writeOwnerFile(folder, QCoreApplication::applicationPid());
    } catch (const AppError&) {
        fileops::removeItemQuietly(folder);
        throw;
    }
    return folder;
}

StemLoader::StemLoader(const PlatformProfile& profile, StemFolder folder, QObject* parent)
    : QObject(parent), m_profile(profile), m_folder(std::move(folder))
{
    m_converted = std::make_unique<std::atomic<int>[]>(size_t(m_folder.stems.size()));
    for (const StemFile& file : std::as_const(m_folder.stems)) {
        auto stem = std::make_shared<DecodedStem>();
        stem->name = file.name;
        m_stems << stem;
        m_peaks << QVector<qint16>();
    }
}

StemLoader::~StemLoader()
{
    stopWorker();
    // Ends the converters before their files go.
    qDeleteAll(m_conversions);
    m_conversions.clear();
    if (!m_cacheFolder.isEmpty())
        fileops::removeItemQuietly(m_cacheFolder);
}

void StemLoader::stopWorker()
{
    m_stop = true;
    if (m_worker.joinable())
        m_worker.join();
}

qint64 StemLoader::frames() const
{
    qint64 longest = 0;
    for (const auto& stem : m_stems)
        longest = std::max(longest, stem->frames.load(std::memory_order_acquire));
    return longest;
}

bool StemLoader::start()
{
    try {
        m_cacheFolder = makeCacheFolder(m_profile.tempDir);
    } catch (const AppError& error) {
        m_error = QStringLiteral("The stems cannot be decoded: ") + error.localizedDescription();
        return false;
    }
    for (int i = 0; i < m_stems.size(); ++i) {
        m_stems[i]->path = fileops::appendingComponent(m_cacheFolder, QString::number(i) + QStringLiteral(".wav"));
        auto* run = new separation::ConversionRun(m_profile, separation::ConversionTarget::wav,
                                                  m_folder.stems[i].path, m_stems[i]->path, this);
        m_conversions << run;
        connect(run, &separation::ConversionRun::finished, this, [this, i] { onConversionFinished(i); });
        if (!run->start()) {
            m_error = run->error() ? run->error()->localizedDescription()
                                   : QStringLiteral("The converter could not be started.");
            return false;
        }
    }
    m_worker = std::thread([this] { follow(); });
    return true;
}

void StemLoader::onConversionFinished(int stem)
{
    const separation::ConversionRun* run = m_conversions[stem];
    if (!run->succeeded()) {
        m_converted[stem] = -1;
        const QString said = run->lastOutputLine();
        fail(QStringLiteral("Could not decode %1: %2")
                 .arg(QFileInfo(m_folder.stems[stem].path).fileName(),
                      said.isEmpty() ? QStringLiteral("the converter failed.") : said));
        return;
    }
    m_converted[stem].store(1, std::memory_order_release);
}

void StemLoader::fail(const QString& error)
{
    if (m_failed || m_complete)
        return;
    m_failed = true;
    m_error = error;
    m_stop = true;
    for (separation::ConversionRun* run : std::as_const(m_conversions))
        run->stop();
    emit finished(false);
}

void StemLoader::follow()
{
    // Whole peaks are read while a file grows; the last, shorter one once
    // it is complete. Every stem moves on a little each round, so all of
    // them become playable together.
    constexpr qint64 chunkFrames = 256 * framesPerPeak;
    struct Track {
        QFile file;
        qint64 readFrames = 0;
        int blockAlign = 0;
        bool done = false;
    };
    std::vector<Track> tracks(size_t(m_stems.size()));
    std::vector<qint16> buffer(size_t(chunkFrames) * 2);
    auto post = [this](auto function) { QMetaObject::invokeMethod(this, function, Qt::QueuedConnection); };
    while (!m_stop) {
        bool moved = false;
        bool allDone = true;
        for (int i = 0; i < m_stems.size() && !m_stop; ++i) {
            Track& track = tracks[size_t(i)];
            DecodedStem& stem = *m_stems[i];
            if (track.done)
                continue;
            allDone = false;
            const int converted = m_converted[i].load(std::memory_order_acquire);
            if (converted < 0)
                return;
            if (stem.dataOffset.load(std::memory_order_relaxed) < 0) {
                const auto header = separation::readWavHeader(stem.path);
                const auto* format = std::get_if<separation::WavFormat>(&header);
                if (!format) {
                    if (converted == 1) {
                        post([this, name = stem.name, why = std::get<QString>(header)] {
                            fail(QStringLiteral("Could not decode %1: %2").arg(name, why));
                        });
                        return;
                    }
                    continue;
                }
                if (format->samples != separation::WavFormat::Samples::pcm || format->bitsPerSample != 16 ||
                    format->channels < 1 || format->channels > 2) {
                    post([this, name = stem.name] {
                        fail(QStringLiteral("Could not decode %1: the converter wrote no 16-bit stereo audio.").arg(name));
                    });
                    return;
                }
                track.file.setFileName(stem.path);
                if (!track.file.open(QIODevice::ReadOnly))
                    continue;
                track.blockAlign = format->blockAlign;
                stem.channels = format->channels;
                stem.sampleRate = format->sampleRate;
                stem.dataOffset.store(format->dataOffset, std::memory_order_release);
                moved = true;
            }
            const qint64 offset = stem.dataOffset.load(std::memory_order_relaxed);
            qint64 available = 0;
            if (converted == 1) {
                // The converter filled in the sizes: the exact length.
                const auto header = separation::readWavHeader(stem.path);
                const auto* format = std::get_if<separation::WavFormat>(&header);
                available = format ? format->frames : (track.file.size() - offset) / track.blockAlign;
            } else {
                available = std::max<qint64>(0, (track.file.size() - offset) / track.blockAlign);
            }
            if (available > stem.frames.load(std::memory_order_relaxed)) {
                stem.frames.store(available, std::memory_order_release);
                moved = true;
            }
            qint64 toRead = std::min(chunkFrames, available - track.readFrames);
            if (converted != 1)
                toRead -= toRead % framesPerPeak;
            if (toRead > 0) {
                const qint64 bytes = toRead * track.blockAlign;
                if (!track.file.seek(offset + track.readFrames * track.blockAlign) ||
                    track.file.read(reinterpret_cast<char*>(buffer.data()), bytes) != bytes)
                    continue;
                QVector<qint16> peaks = peaksOf(buffer.data(), toRead, track.blockAlign / 2);
                const qsizetype first = qsizetype(track.readFrames / framesPerPeak);
                track.readFrames += toRead;
                post([this, i, first, peaks = std::move(peaks)] {
                    m_peaks[i].resize(first * 2);
                    m_peaks[i] += peaks;
                    emit peaksAdded(i, first);
                });
                moved = true;
            }
            if (converted == 1 && track.readFrames >= available) {
                track.done = true;
                stem.complete.store(true, std::memory_order_release);
                moved = true;
            }
        }
        if (moved) {
            post([this] {
                if (m_failed || m_complete)
                    return;
                bool headers = true;
                bool enough = true;
                bool complete = true;
                int rate = 0;
                for (const auto& stem : std::as_const(m_stems)) {
                    if (stem->dataOffset.load(std::memory_order_acquire) < 0) {
                        headers = false;
                        continue;
                    }
                    if (rate != 0 && stem->sampleRate != rate) {
                        fail(QStringLiteral("The stems do not share one sample rate (%1 Hz and %2 Hz).")
                                 .arg(rate)
                                 .arg(stem->sampleRate.load()));
                        return;
                    }
                    rate = stem->sampleRate;
                    const bool done = stem->complete.load(std::memory_order_acquire);
                    complete = complete && done;
                    enough = enough && (done || stem->frames.load(std::memory_order_acquire) >= playableFrames);
                }
                if (!headers)
                    return;
                m_sampleRate = rate;
                if (enough && !m_playable) {
                    m_playable = true;
                    emit playable();
                }
                if (complete) {
                    m_complete = true;
                    emit finished(true);
                }
            });
        }
        if (allDone)
            return;
        if (!moved)
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
}

}  // namespace mixer
