#pragma once

#include "base/AppError.h"
#include "process/Ownership.h"
#include "base/PlatformProfile.h"
#include "demucs/DemucsEnvironment.h"
#include "jobs/Job.h"
#include "process/ChildProcess.h"
#include "separation/AudioConversion.h"
#include "separation/LongRecording.h"
#include "separation/SeparationMode.h"
#include "separation/SeparationProgress.h"
#include "separation/SpaceCheck.h"

#include <QList>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <functional>

#include <memory>
#include <optional>
#include <vector>

// A separation: the compatibility check, the input conversion, Demucs, the
// stem encodes (several at once) and the manifest, each step in the
// background. The stems reach the stems folder only when every encode
// succeeded; until then the earlier export stays as it was.
class SeparationJob : public Job {
    Q_OBJECT
public:
    struct Params {
        PlatformProfile profile;
        QProcessEnvironment environment;  // Demucs's and the probe's; TORCH_HOME holds the weights
        QString python;
        // The environment python belongs to: held in use while the run lasts,
        // so no install rebuilds it meanwhile. Empty: not held.
        QString environmentFolder;
        QString audioFile;
        QString saveFolder;
        SeparationMode mode;
        int maxParallelEncodes = 0;  // 0: one per core
        bool saveFolderDefaulted = false;  // none was set; saveFolder is the default
        separation::ExportFormat format = separation::ExportFormat::aac;
        // The device an earlier check of this environment found: the check
        // is skipped (a queue checks once).
        std::optional<demucs::Device> checkedDevice = std::nullopt;
    };

    explicit SeparationJob(Params params, QObject* parent = nullptr);
    ~SeparationJob() override;

    void start() override;
    void stop() override;

    // The folder named after audioFile under saveFolder's "stems" (another
    // song's stems there send the export on to "NAME (2)").
    static QString stemsFolderFor(const QString& saveFolder, const QString& audioFile);
    // At most the number of cores and the number of stems, at least one.
    static int encodeSlots(int requested, int stemCount);

    // The device the environment check found; nothing before it passed.
    std::optional<demucs::Device> checkedDevice() const { return m_checkedDevice; }

signals:
    // The stems and their manifest are in folder.
    void stemsSaved(const QString& folder);

private:
    void begin(demucs::Device device);
    // Claims stemsFolderFor, or the next free "NAME (N)" when another song's
    // stems are there or another song's run holds it; false when the run ended.
    bool claimStemsFolder();
    // Ends the run before any work: the alert "Stem Separation Failed" with message.
    void refuse(const QString& message);
    QString stemFileName(const QString& stem) const;
    // The file the children read: the audio file, or a link with a UTF-8
    // name to it when its own name is not (a child's arguments are UTF-8).
    bool prepareInput();
    // Measures the input and checks the free space, then goes on to the work.
    void checkSpace();
    void convertOrSeparate();
    // A WAV file goes to Demucs as it is.
    bool isDirectWav() const;
    // The input goes through the converter first: it is no WAV, or a long
    // WAV the parts cannot be cut from.
    bool convertsFirst() const;
    // Demucs on input, after cutting it into parts when it is long.
    void separateInput(const QString& input);
    separation::PartSettings partSettings() const;
    // Where the parts and Demucs's stems of them go.
    QString partsFolder() const;
    // Cuts input into m_partSpans on a worker thread, then runs Demucs on the parts.
    void splitInput(const QString& input, const separation::WavFormat& format);
    // Joins each stem's parts on a worker thread into OUTPUT_ROOT/MODEL, then exports.
    void joinParts();
    // work on a worker thread; done with its error (empty: it worked) unless the run was stopped.
    void runPartsWork(std::function<QString(const std::atomic<bool>& cancel)> work,
                      std::function<void()> done);
    void convertInput();
    // Demucs on input, or on the parts cut from it when there are any.
    void runDemucs(const QString& input);
    void onDemucsFinished(const RunResult& result);
    void handleDemucsOutput(const QString& text);
    void readDemucsProgress(const QString& line);
    // "FOLDER ran out of space…" when a tool's message says the disk filled up.
    QString spaceReason(const QString& toolMessage, const QString& folder, bool temporary) const;
    void startExport();
    void startEncodes();
    void onEncodeFinished(separation::ConversionRun* run);
    void commitExport();
    void exportFailed(const AppError& error);
    // Ends the job once nothing runs any more.
    void settle();
    void cleanUp();
    // Removes what the run wrote (the output root on a worker thread), then reports.
    void finishAfterCleanUp(std::function<void()> report);
    void setProgress(separation::SeparationStage stage, double fraction, const QString& text);
    // Where Demucs keeps the model weights; empty when it chooses by itself.
    QString torchHome() const { return m_params.environment.value(QStringLiteral("TORCH_HOME")); }

    struct Encode {
        QString stem;
        QString temporary;
        std::unique_ptr<separation::ConversionRun> run;
        bool done = false;
    };

    Params m_params;
    QString m_outputRoot;
    QString m_stemsFolder;
    // Held from the start to the end of the run: no other run writes there.
    ownership::Claim m_stemsClaim;
    ownership::Claim m_environmentClaim;
    // The folders this run made for the stems, innermost first.
    QStringList m_createdFolders;
    QPointer<ChildProcess> m_probe;
    std::unique_ptr<ChildProcess> m_durationProbe;
    QString m_input;
    std::optional<separation::SpaceNeeds> m_spaceNeeds;
    std::unique_ptr<separation::ConversionRun> m_inputConversion;
    ChildProcess m_demucs;
    std::vector<Encode> m_encodes;
    size_t m_nextStem = 0;
    int m_slots = 1;
    int m_doneEncodes = 0;
    bool m_stopped = false;
    bool m_cleaningUp = false;
    QPointer<QThread> m_rootRemoval;
    std::optional<AppError> m_exportError;
    int m_lastPercent = -1;
    demucs::Device m_device = demucs::Device::unknown;
    std::optional<demucs::Device> m_checkedDevice;
    // Files the folder's earlier manifest lists: an export the user keeps.
    QStringList m_listedBefore;
    QString m_demucsInput;
    QProcessEnvironment m_demucsEnvironment;  // the user's, with a thread count
    bool m_onCpuAfterGpu = false;   // the Apple GPU run failed; this one is on the CPU
    bool m_fetchesWeights = false;  // the model's weights were not there before the run
    separation::DemucsProgress m_demucsProgress;
    QStringList m_demucsTail;       // Demucs's last lines, for its reason when it fails
    bool m_sawDownloadError = false;
    // A long recording's parts and their stems (m_partFiles empty: one piece).
    QList<separation::PartSpan> m_partSpans;
    QStringList m_partFiles;
    int m_inputRate = 0;
    qint64 m_inputFrames = 0;
    std::optional<double> m_inputSeconds;  // what the duration probe said
    std::shared_ptr<std::atomic<bool>> m_partsCancel = std::make_shared<std::atomic<bool>>(false);
    QPointer<QThread> m_partsWork;
    bool m_partsBusy = false;
};
