#pragma once

// Saves a mix as a file: the stems are decoded (or the window's decoded
// stems are taken as they are), mixed and stretched on a worker thread into a
// float WAV in the cache, and encoded by the converter in the export format
// into the stems folder's mixes/. The stems and their manifest are only read.

#include "base/PlatformProfile.h"
#include "jobs/Job.h"
#include "mixer/MixEngine.h"
#include "mixer/MixRules.h"
#include "mixer/StemFolder.h"
#include "separation/ExportFormat.h"

#include <QPointer>
#include <QString>

#include <atomic>
#include <memory>

class QThread;

namespace separation {
class ConversionRun;
}

namespace mixer {

// The frames a recording of frames frames lasts at tempo.
qint64 stretchedLength(qint64 frames, double tempo);

// Renders the engine's whole mix from the start, without a loop, as a 32-bit
// float stereo WAV of exactly stretchedLength(length, tempo) frames. Every
// stem must be decoded. The error text; empty when it worked. cancel is read
// between blocks.
QString renderToWav(MixEngine& engine, double tempo, const QString& path, const std::atomic<bool>& cancel);

// Where a mix is saved unless told otherwise: mixes/ + its name + extension.
QString defaultMixPath(const StemFolder& folder, const MixSettings& settings, separation::ExportFormat format);

class StemLoader;

class MixJob : public Job {
    Q_OBJECT
public:
    struct Params {
        PlatformProfile profile;
        StemFolder folder;
        MixSettings settings;  // the stems' names as in folder, in its order
        separation::ExportFormat format = separation::ExportFormat::aac;
        QString output;  // empty: defaultMixPath
        // Stems decoded already (the window's), used when complete; else
        // the job decodes them itself.
        DecodedStems decoded;
        int sampleRate = 0;
    };
    explicit MixJob(Params params, QObject* parent = nullptr);
    ~MixJob() override;

    void start() override;
    void stop() override;
    QString logName() const override { return QStringLiteral("Mix"); }
    // The file written, once the job succeeded.
    QString outputPath() const { return m_output; }

private:
    void render(const DecodedStems& stems, int sampleRate);
    void onRendered(const QString& error);
    void onEncoded();
    void fail(const QString& text);
    void cleanUp();

    Params m_params;
    QString m_output;
    QString m_cacheFolder;
    QString m_wav;
    QString m_partial;  // the encoded file until it is renamed into place
    QPointer<StemLoader> m_loader;
    QPointer<separation::ConversionRun> m_encode;
    QPointer<QThread> m_worker;
    std::shared_ptr<std::atomic<bool>> m_cancel = std::make_shared<std::atomic<bool>>(false);
    bool m_stopping = false;
};

}  // namespace mixer
