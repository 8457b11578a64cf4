#include "mixer/MixJob.h"

#include "base/AppError.h"
#include "base/Background.h"
#include "base/FileOps.h"
#include "separation/AudioConversion.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>
#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <vector>

namespace mixer {

qint64 stretchedLength(qint64 frames, double tempo)
{
    return std::llround(double(frames) / tempo);
}

namespace {

QByteArray floatWavHeader(int sampleRate, qint64 frames)
{
    const quint32 dataBytes = quint32(frames * MixEngine::channels * 4);
    QByteArray header;
    auto u32 = [&header](quint32 v) {
        const quint32 le = qToLittleEndian(v);
        header.append(reinterpret_cast<const char*>(&le), 4);
    };
    auto u16 = [&header](quint16 v) {
        const quint16 le = qToLittleEndian(v);
        header.append(reinterpret_cast<const char*>(&le), 2);
    };
    header += "RIFF";
    u32(4 + 8 + 16 + 8 + 4 + 8 + dataBytes);
    header += "WAVEfmt ";
    u32(16);
    u16(3);  // IEEE float
    u16(MixEngine::channels);
    u32(quint32(sampleRate));
    u32(quint32(sampleRate) * MixEngine::channels * 4);
    u16(MixEngine::channels * 4);
    u16(32);
    header += "fact";
    u32(4);
    u32(quint32(frames));
    header += "data";
    u32(dataBytes);
    return header;
}

}  // namespace

QString renderToWav(MixEngine& engine, double tempo, const QString& path, const std::atomic<bool>& cancel)
{
    const qint64 total = stretchedLength(engine.length(), tempo);
    if (total * MixEngine::channels * 4 > 0xFFFFFF00LL)
        return QStringLiteral("The mix is too long for a WAV file.");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QStringLiteral("Cannot write %1: %2").arg(path, file.errorString());
    if (file.write(floatWavHeader(engine.sampleRate(), total)) < 0)
        return QStringLiteral("Cannot write %1: %2").arg(path, file.errorString());
    engine.setLoopEnabled(false);
    engine.seek(0);
    constexpr qint64 block = 8192;
    std::vector<float> buffer(size_t(block) * MixEngine::channels);
    qint64 done = 0;
    while (done < total) {
        if (cancel)
            return QStringLiteral("stopped");
        const qint64 want = std::min(block, total - done);
        qint64 got = engine.render(buffer.data(), want);
        // The stretcher may end a little short of the exact length: silence.
        if (got < want)
            std::fill(buffer.begin() + got * MixEngine::channels, buffer.begin() + want * MixEngine::channels, 0.0f);
        got = want;
        const qint64 bytes = got * MixEngine::channels * qint64(sizeof(float));
        if (file.write(reinterpret_cast<const char*>(buffer.data()), bytes) != bytes)
            return QStringLiteral("Cannot write %1: %2").arg(path, file.errorString());
        done += got;
    }
    if (!file.flush())
        return QStringLiteral("Cannot write %1: %2").arg(path, file.errorString());
    return {};
}

QString defaultMixPath(const StemFolder& folder, const MixSettings& settings, separation::ExportFormat format)
{
    return fileops::appendingComponent(folder.mixesFolder(), safeFileName(mixName(settings)) + QLatin1Char('.') +
                                                                 separation::formatExtension(format));
}

MixJob::MixJob(Params params, QObject* parent) : Job(parent), m_params(std::move(params)) {}

MixJob::~MixJob()
{
    *m_cancel = true;
    if (m_worker)
        m_worker->wait();
    delete m_encode.data();
    delete m_loader.data();
    cleanUp();
}

void MixJob::cleanUp()
{
    if (!m_partial.isEmpty())
        fileops::removeItemQuietly(m_partial);
    m_partial.clear();
    if (!m_cacheFolder.isEmpty())
        fileops::removeItemQuietly(m_cacheFolder);
    m_cacheFolder.clear();
}

void MixJob::start()
{
    emit logCleared();
    m_output = m_params.output.isEmpty() ? defaultMixPath(m_params.folder, m_params.settings, m_params.format)
                                         : fileops::fileURLPath(m_params.output);
    log(QStringLiteral("Mixing %1: %2").arg(m_params.folder.name, mixName(m_params.settings)));
    emit stage(QStringLiteral("Mixing"));
    emit progress(-1);
    try {
        m_cacheFolder = makeCacheFolder(m_params.profile.tempDir);
        fileops::createDirectories(fileops::deletingLastComponent(m_output));
    } catch (const AppError& error) {
        fail(error.localizedDescription());
        return;
    }
    const bool decoded = !m_params.decoded.isEmpty() && m_params.sampleRate > 0 &&
                         std::all_of(m_params.decoded.begin(), m_params.decoded.end(),
                                     [](const auto& stem) { return stem->complete.load(); });
    if (decoded) {
        render(m_params.decoded, m_params.sampleRate);
        return;
    }
    emit stage(QStringLiteral("Mixing: Decoding"));
    m_loader = new StemLoader(m_params.profile, m_params.folder, this);
    connect(m_loader, &StemLoader::finished, this, [this](bool ok) {
        if (m_stopping)
            return;
        if (!ok) {
            fail(m_loader->error());
            return;
        }
        render(m_loader->stems(), m_loader->sampleRate());
    });
    if (!m_loader->start())
        fail(m_loader->error());
}

void MixJob::render(const DecodedStems& stems, int sampleRate)
{
    emit stage(QStringLiteral("Mixing: Rendering"));
    m_wav = fileops::appendingComponent(m_cacheFolder, QStringLiteral("mix.wav"));
    auto error = std::make_shared<QString>();
    const MixSettings settings = m_params.settings;
    m_worker = fileops::runInBackground(
        [stems, sampleRate, settings, wav = m_wav, error, cancel = m_cancel] {
            MixEngine engine(stems, sampleRate);
            engine.apply(settings);
            *error = renderToWav(engine, settings.tempo, wav, *cancel);
        },
        this, [this, error] { onRendered(*error); });
}

void MixJob::onRendered(const QString& error)
{
    if (m_stopping)
        return;
    if (!error.isEmpty()) {
        fail(error);
        return;
    }
    emit stage(QStringLiteral("Mixing: Encoding"));
    // Beside the destination, hidden, so the rename into place is one step
    // and a failed encode never leaves a half file under the mix's name.
    m_partial = fileops::appendingComponent(
        fileops::deletingLastComponent(m_output),
        QStringLiteral(".%1.%2.tmp").arg(fileops::lastComponent(m_output),
                                         QUuid::createUuid().toString(QUuid::WithoutBraces)));
    m_encode = new separation::ConversionRun(m_params.profile, separation::stemTarget(m_params.format), m_wav,
                                             m_partial, this);
    connect(m_encode, &separation::ConversionRun::finished, this, &MixJob::onEncoded);
    if (!m_encode->start())
        fail(m_encode->error() ? m_encode->error()->localizedDescription()
                               : QStringLiteral("The converter could not be started."));
}

void MixJob::onEncoded()
{
    if (m_stopping)
        return;
    const separation::ConversionRun& run = *m_encode;
    if (!run.succeeded()) {
        const QString said = run.lastOutputLine();
        fail(QStringLiteral("The mix could not be encoded: ") +
             (said.isEmpty() ? QStringLiteral("the converter failed.") : said));
        return;
    }
    try {
        fileops::moveItem(m_partial, m_output);
    } catch (const AppError& error) {
        fail(error.localizedDescription());
        return;
    }
    m_partial.clear();
    cleanUp();
    log(QStringLiteral("Saved the mix: ") + fileops::shownPath(m_output));
    emit progress(100);
    finishWith(Outcome::succeeded);
}

void MixJob::fail(const QString& text)
{
    cleanUp();
    failTitled(QStringLiteral("Mix Failed"), text);
}

void MixJob::stop()
{
    if (hasFinished() || m_stopping)
        return;
    m_stopping = true;
    *m_cancel = true;
    if (m_worker)
        m_worker->wait();
    delete m_encode.data();
    delete m_loader.data();
    cleanUp();
    log(QStringLiteral("Stopped."));
    finishWith(Outcome::stopped);
}

}  // namespace mixer
