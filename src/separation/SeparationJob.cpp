#include "separation/SeparationJob.h"

#include "base/Background.h"
#include "base/FileOps.h"
#include "jobs/SaveFolderCheck.h"
#include "process/CpuCores.h"
#include "demucs/DemucsContract.h"
#include "demucs/DemucsEnvironment.h"
#include "separation/Leftovers.h"
#include "separation/Manifest.h"
#include "separation/StemFiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <unistd.h>

using separation::ConversionRun;
using separation::ConversionTarget;
using separation::SeparationStage;

namespace {

const QString startFailure = QStringLiteral("Failed to start Demucs: ");

QString uuidText()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

}  // namespace

SeparationJob::SeparationJob(Params params, QObject* parent) : Job(parent), m_params(std::move(params))
{
    connect(&m_demucs, &ChildProcess::output, this, &SeparationJob::handleDemucsOutput);
    // A bar redrawn after "\r" has no line end until the next one: read it at once.
    connect(&m_demucs, &ChildProcess::unfinishedLine, this, [this](const QString& line) {
        // Only a whole bar: a read that cut it could look like another kind.
        if (line.trimmed().endsWith(QLatin1Char(']')))
            readDemucsProgress(line);
    });
    connect(&m_demucs, &ChildProcess::finished, this, &SeparationJob::onDemucsFinished);
    // Whatever way the run ended, its claims go before anyone hears of it.
    connect(this, &Job::finished, this, &SeparationJob::cleanUp);
}

SeparationJob::~SeparationJob()
{
    *m_partsCancel = true;
    if (m_partsWork)
        m_partsWork->wait();
    if (m_rootRemoval)
        m_rootRemoval->wait();
    if (hasFinished())
        return;
    // Gone mid-run (the application quits): the children go first, so none
    // of them writes into what is removed next.
    delete m_probe.data();
    m_durationProbe.reset();
    m_inputConversion.reset();
    m_demucs.killAndReap();
    for (Encode& encode : m_encodes)
        encode.run.reset();
    cleanUp();
    if (m_rootRemoval)
        m_rootRemoval->wait();
}

QString SeparationJob::stemsFolderFor(const QString& saveFolder, const QString& audioFile)
{
    const QString folderName =
        separation::sanitizeFileName(fileops::deletingPathExtension(fileops::lastComponent(audioFile)));
    return fileops::appendingComponent(
        fileops::appendingComponent(fileops::fileURLPath(saveFolder), QStringLiteral("stems")), folderName);
}

int SeparationJob::encodeSlots(int requested, int stemCount)
{
    const int wanted = requested > 0 ? requested : QThread::idealThreadCount();
    return std::max(1, std::min(wanted, stemCount));
}

void SeparationJob::setProgress(SeparationStage stage, double fraction, const QString& text)
{
    emit this->stage(text);
    const int percent = separation::separationPercent(stage, fraction);
    if (percent != m_lastPercent) {
        m_lastPercent = percent;
        emit progress(percent);
    }
}

void SeparationJob::refuse(const QString& message)
{
    setFailureReason(message);
    log(message);
    warn(QStringLiteral("Stem Separation Failed"), message);
    finishWith(Outcome::failed);
}

bool SeparationJob::claimStemsFolder()
{
    const QString named = stemsFolderFor(m_params.saveFolder, m_params.audioFile);
    try {
        auto claimed = separation::claimStemsFolder(named, m_params.audioFile);
        if (const qint64* pid = std::get_if<qint64>(&claimed)) {
            refuse(fileops::lastComponent(m_params.audioFile) +
                   QStringLiteral(" is already being separated by another Stemloft (process %1).").arg(*pid));
            return false;
        }
        auto& folder = std::get<separation::ClaimedStemsFolder>(claimed);
        m_stemsFolder = folder.folder;
        m_stemsClaim = std::move(folder.claim);
        m_createdFolders = folder.createdFolders;
    } catch (const AppError& error) {
        failTitled(savefolder::unusableTitle, error.localizedDescription());
        return false;
    }
    return true;
}

QString SeparationJob::stemFileName(const QString& stem) const
{
    return stem + QLatin1Char('.') + separation::formatExtension(m_params.format);
}

void SeparationJob::start()
{
    // A FIFO would hold the converter forever, a folder reaches Demucs.
    if (!fileops::isRegularFile(m_params.audioFile)) {
        refuse(fileops::shownPath(fileops::lastComponent(m_params.audioFile)) +
               QStringLiteral(" is not an audio file."));
        return;
    }
    // Minutes of Demucs must not end in a folder that cannot take the stems.
    const QString saveFolder = fileops::fileURLPath(m_params.saveFolder);
    if (const std::optional<QString> problem = savefolder::problem(saveFolder)) {
        failTitled(savefolder::unusableTitle, m_params.saveFolder + QStringLiteral(": ") + *problem);
        return;
    }
    const QString named = stemsFolderFor(m_params.saveFolder, m_params.audioFile);
    if (const std::optional<QString> problem = savefolder::stemsFolderProblem(
            saveFolder, separation::stemsFolderKeepingOthers(named, m_params.audioFile))) {
        failTitled(savefolder::unusableTitle, *problem);
        return;
    }
    if (!claimStemsFolder())
        return;
    if (const QString environment = m_params.environmentFolder; !environment.isEmpty()) {
        try {
            m_environmentClaim = demucs::claimEnvironmentUse(environment);
        } catch (const AppError& error) {
            log(startFailure + error.localizedDescription());
            finishWith(Outcome::failed);
            return;
        }
        // Looked for after the use is claimed: an install starting now sees it.
        if (const auto installer = ownership::Claim::holderOf(demucs::environmentInstallClaim(environment))) {
            refuse(QStringLiteral("Demucs is being installed by another Stemloft (process %1). Try again when it "
                                  "has finished.")
                       .arg(installer->pid));
            return;
        }
    }
    if (m_params.checkedDevice) {
        begin(*m_params.checkedDevice);
        return;
    }
    emit stage(QStringLiteral("Checking Demucs"));
    emit progress(-1);
    const int limit = m_params.profile.probeTimeLimitMs;
    m_probe = demucs::probeManagedEnvironment(
        this, m_params.python, m_params.environment, limit, [this, limit](const demucs::ProbeAnswer& answer) {
            m_probe = nullptr;
            if (answer.stopped || m_stopped) {
                settle();
                return;
            }
            if (!answer.compatible) {
                emit logEntries(answer.logLines(limit) +
                                QStringList{QStringLiteral("The managed Demucs environment is not compatible."),
                                            m_params.profile.rebuildAdvice});
                setFailureReason(QStringLiteral("The managed Demucs environment is not compatible."));
                finishWith(Outcome::failed);
                return;
            }
            begin(answer.device);
        });
}

void SeparationJob::begin(demucs::Device device)
{
    m_device = device;
    m_checkedDevice = device;
    // PyTorch alone takes one thread on some machines, or every core of a
    // host whose container may use two.
    m_demucsEnvironment = cpu::withThreadCount(m_params.environment, cpu::usableCores());
    const SeparationMode& mode = m_params.mode;
    m_outputRoot = fileops::appendingComponent(
        fileops::fileURLPath(m_params.profile.tempDir),
        QStringLiteral("stemloft-demucs-") + uuidText().toUpper());
    try {
        fileops::createDirectories(m_outputRoot);
        // Tells a later start whether this root is still in use after a crash.
        ownership::writeOwnerFile(m_outputRoot, QCoreApplication::applicationPid());
    } catch (const AppError& error) {
        fileops::removeItemQuietly(m_outputRoot);
        log(startFailure + error.localizedDescription());
        finishWith(Outcome::failed);
        return;
    }
    emit logCleared();
    if (m_params.saveFolderDefaulted)
        log(savefolder::defaultedMessage(m_params.saveFolder));
    QStringList opening{QStringLiteral("Separating ") + mode.modeLabel() + QStringLiteral(" with ") +
                            mode.demucsModel() + QStringLiteral("..."),
                        QStringLiteral("Input: ") + fileops::shownPath(m_params.audioFile)};
    if (const QString device = demucs::deviceLine(m_device, cpu::threadCount(m_demucsEnvironment));
        !device.isEmpty())
        opening << device;
    emit logEntries(opening << QStringLiteral("This can take several minutes."));
    if (prepareInput())
        checkSpace();
}

bool SeparationJob::prepareInput()
{
    m_input = m_params.audioFile;
    if (fileops::isUtf8Path(m_input))
        return true;
    const QString folder = fileops::appendingComponent(m_outputRoot, QStringLiteral("input"));
    // Named as the file shows, so the converter's messages name it; each odd
    // byte grows to three, past what a name may hold only in rare cases.
    QString name = fileops::shownPath(fileops::lastComponent(m_input));
    if (name.toUtf8().size() > NAME_MAX)
        name = QStringLiteral("input.") + fileops::shownPath(fileops::pathExtension(m_input)).left(16);
    const QString link = fileops::appendingComponent(folder, name);
    try {
        fileops::createDirectories(folder);
        if (::symlink(fileops::encodePath(m_input).constData(), fileops::encodePath(link).constData()) != 0)
            fileops::throwErrno(errno, QStringLiteral("Could not link \"%1\"").arg(link));
    } catch (const AppError& error) {
        finishAfterCleanUp([this, message = error.localizedDescription()] {
            log(startFailure + message);
            finishWith(Outcome::failed);
        });
        return false;
    }
    m_input = link;
    return true;
}

void SeparationJob::checkSpace()
{
    const separation::DurationProbe probe = separation::durationProbe(m_params.profile, m_input);
    if (probe.program.isEmpty()) {
        convertOrSeparate();  // the run goes on unchecked; a full disk is still named as one
        return;
    }
    m_durationProbe = std::make_unique<ChildProcess>();
    m_durationProbe->setProgram(probe.program);
    m_durationProbe->setArguments(probe.arguments);
    m_durationProbe->setOutput(ChildProcess::Output::stdoutOnly);
    m_durationProbe->setTimeLimit(m_params.profile.probeTimeLimitMs);
    connect(m_durationProbe.get(), &ChildProcess::finished, this, [this](const RunResult& result) {
        // Deleted later: this is its own signal.
        ChildProcess* done = m_durationProbe.release();
        done->deleteLater();
        if (m_stopped || result.outcome == RunResult::Outcome::stopped) {
            settle();
            return;
        }
        // A duration nobody can tell: the converter says why the file fails.
        if (const std::optional<double> seconds = separation::parseDuration(done->capturedOutput())) {
            m_inputSeconds = seconds;
            const bool converts = convertsFirst();
            separation::PartsSpace parts;
            if (*seconds > m_params.profile.longRecordingSeconds) {
                separation::WavFormat estimate;
                estimate.sampleRate = 44100;
                estimate.blockAlign = 4;
                estimate.frames = qint64(*seconds * estimate.sampleRate);
                // A WAV's parts are copies of its own bytes.
                if (!converts) {
                    const auto header = separation::readWavHeader(m_input);
                    if (const auto* wav = std::get_if<separation::WavFormat>(&header))
                        estimate = *wav;
                }
                parts.parts = int(separation::planFor(estimate, partSettings()).size());
                parts.overlapSeconds = m_params.profile.partOverlapSeconds;
                parts.inputBytesPerSecond = double(estimate.blockAlign) * estimate.sampleRate;
            }
            m_spaceNeeds = separation::spaceNeeds(*seconds, int(m_params.mode.stems().size()), m_params.format,
                                                  converts, parts);
            const QString temporary = fileops::fileURLPath(m_params.profile.tempDir);
            if (const auto shortage = separation::spaceShortage(temporary, m_spaceNeeds->temporary, m_stemsFolder,
                                                                m_spaceNeeds->stems)) {
                finishAfterCleanUp([this, message = *shortage] {
                    setFailureReason(message);
                    log(message);
                    warn(QStringLiteral("Stem Separation Failed"), message);
                    finishWith(Outcome::failed);
                });
                return;
            }
        }
        convertOrSeparate();
    });
    if (!m_durationProbe->start()) {
        m_durationProbe.reset();
        convertOrSeparate();
    }
}

bool SeparationJob::isDirectWav() const
{
    // An empty file goes through the converter too, which says why it fails.
    return fileops::pathExtension(m_params.audioFile).toLower() == QLatin1String("wav") &&
           fileops::fileSize(m_params.audioFile).value_or(0) > 0;
}

bool SeparationJob::convertsFirst() const
{
    if (!isDirectWav())
        return true;
    // The converter writes a WAV the parts can be cut from.
    return m_inputSeconds && *m_inputSeconds > m_params.profile.longRecordingSeconds &&
           std::holds_alternative<QString>(separation::readWavHeader(m_input));
}

void SeparationJob::convertOrSeparate()
{
    if (convertsFirst())
        convertInput();
    else
        separateInput(m_input);
}

QString SeparationJob::spaceReason(const QString& toolMessage, const QString& folder, bool temporary) const
{
    if (!separation::saysOutOfSpace(toolMessage))
        return QString();
    std::optional<qint64> needed;
    if (m_spaceNeeds)
        needed = temporary ? m_spaceNeeds->temporary : m_spaceNeeds->stems;
    return separation::ranOutOfSpace(folder, needed);
}

void SeparationJob::convertInput()
{
    const QString destination = fileops::appendingComponent(m_outputRoot, QStringLiteral("demucs-input.wav"));
    log(QStringLiteral("Converting input to WAV for Demucs..."));
    setProgress(SeparationStage::converting, 0, QStringLiteral("Separating: Converting"));
    m_inputConversion = std::make_unique<ConversionRun>(m_params.profile, ConversionTarget::wav, m_input,
                                                        destination);
    ConversionRun* run = m_inputConversion.get();
    auto failed = [this, run](const AppError& error) {
        // A file without readable audio is the user's to fix, not Demucs's;
        // anything else is told in the converter's own words. The log keeps
        // the converter's whole output.
        QString alertText;
        const QString said = run->lastOutputLine();
        if (const QString full = spaceReason(said, fileops::fileURLPath(m_params.profile.tempDir), true);
            !full.isEmpty())
            alertText = full;
        else if (run->rejectedSource())
            alertText = fileops::shownPath(fileops::lastComponent(m_params.audioFile)) +
                        QStringLiteral(" has no audio that can be read.");
        else if (run->crashed())
            alertText = error.localizedDescription();
        else if (run->exitedWithFailure())
            alertText = said.isEmpty() ? error.localizedDescription() : firstSentence(said);
        if (!alertText.isEmpty())
            setFailureReason(alertText);
        finishAfterCleanUp([this, message = error.localizedDescription(), alertText] {
            log(startFailure + message);
            if (!alertText.isEmpty())
                warn(QStringLiteral("Stem Separation Failed"), alertText);
            finishWith(Outcome::failed);
        });
    };
    connect(run, &ConversionRun::finished, this, [this, run, failed] {
        if (run->wasStopped() || m_stopped) {
            settle();
        } else if (run->error()) {
            failed(*run->error());
        } else {
            separateInput(run->destination());
        }
    });
    if (!run->start())
        failed(*run->error());
}

void SeparationJob::runDemucs(const QString& input)
{
    const SeparationMode& mode = m_params.mode;
    m_demucsInput = input;
    m_demucsTail.clear();
    m_sawDownloadError = false;
    int downloads = 1;
    if (!m_onCpuAfterGpu && !torchHome().isEmpty()) {
        if (const QStringList missing = demucs::missingModelWeights(torchHome(), mode.demucsModel()); !missing.isEmpty()) {
            m_fetchesWeights = true;
            downloads = int(missing.size());
            log(QStringLiteral("Downloading the ") + mode.demucsModel() + QStringLiteral(" model (first use)..."));
        }
    }
    const bool inParts = !m_partFiles.isEmpty();
    m_demucsProgress = separation::DemucsProgress(downloads, inParts ? int(m_partFiles.size()) : 1);
    // Each part's stems in a folder named after the part.
    QStringList arguments{
        QStringLiteral("-m"), QStringLiteral("demucs.separate"),
        QStringLiteral("--name"), mode.demucsModel(),
        QStringLiteral("--out"), inParts ? partsFolder() : m_outputRoot,
        QStringLiteral("--filename"), inParts ? QStringLiteral("{track}/{stem}.{ext}") : QStringLiteral("{stem}.{ext}"),
    };
    // Rescaling a stem that would clip scales each part by its own peak: the
    // level would step from part to part. Every part is clipped alike instead.
    if (inParts)
        arguments << QStringLiteral("--clip-mode") << QStringLiteral("clamp");
    // 16 bits would throw away what a lossless export is for.
    if (separation::isLossless(m_params.format))
        arguments << QStringLiteral("--int24");
    arguments << mode.demucsOptions();
    QProcessEnvironment environment = m_demucsEnvironment;
    // Demucs prints its own lines (a bag's announcement) to standard output,
    // which Python buffers in a pipe until the end, and its bars to standard
    // error at once: unbuffered, they arrive in the order they were written.
    environment.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    // Demucs finds CUDA by itself but never the Apple GPU. Operations MPS
    // lacks fall back to the CPU instead of failing.
    if (m_device == demucs::Device::mps) {
        arguments << QStringLiteral("-d") << (m_onCpuAfterGpu ? QStringLiteral("cpu") : QStringLiteral("mps"));
        environment.insert(QStringLiteral("PYTORCH_ENABLE_MPS_FALLBACK"), QStringLiteral("1"));
    }
    m_demucs.setProgram(m_params.python);
    m_demucs.setArguments(arguments << (inParts ? m_partFiles : QStringList{input}));
    m_demucs.setEnvironment(environment);
    m_demucs.setLowPriority(true);
    setProgress(SeparationStage::demucs, 0, QStringLiteral("Separating: Demucs"));
    if (!m_demucs.start()) {
        finishAfterCleanUp([this] {
            log(startFailure + m_demucs.result().error);
            finishWith(Outcome::failed);
        });
    }
}

void SeparationJob::handleDemucsOutput(const QString& text)
{
    const QStringList lines = splitOutputLines(text);
    emit logEntries(lines);
    constexpr qsizetype keptLines = 200;
    for (const QString& line : lines) {
        m_sawDownloadError = m_sawDownloadError || demucs::isDownloadError(line);
        readDemucsProgress(line);
    }
    m_demucsTail += lines;
    if (m_demucsTail.size() > keptLines)
        m_demucsTail.remove(0, m_demucsTail.size() - keptLines);
}

void SeparationJob::readDemucsProgress(const QString& line)
{
    using Kind = separation::DemucsProgress::Reading::Kind;
    const separation::DemucsProgress::Reading reading = m_demucsProgress.read(line);
    const int percent = int(std::floor(reading.fraction * 100));
    if (reading.kind == Kind::download)
        setProgress(SeparationStage::demucs, 0,
                    QStringLiteral("Downloading the %1 model %2%").arg(m_params.mode.demucsModel()).arg(percent));
    else if (reading.kind == Kind::separation)
        setProgress(SeparationStage::demucs, reading.fraction, QStringLiteral("Separating: Demucs %1%").arg(percent));
}

void SeparationJob::onDemucsFinished(const RunResult& result)
{
    if (result.outcome == RunResult::Outcome::stopped || m_stopped) {
        settle();
        return;
    }
    if (result.status != 0 && m_device == demucs::Device::mps && !m_onCpuAfterGpu) {
        // The MPS backend still lacks pieces some models need; the CPU is slower but sure.
        log(QStringLiteral("The Apple GPU run failed; trying again on the CPU."));
        m_onCpuAfterGpu = true;
        fileops::removeItemQuietly(fileops::appendingComponent(m_outputRoot, m_params.mode.demucsModel()));
        fileops::removeItemQuietly(fileops::appendingComponent(partsFolder(), m_params.mode.demucsModel()));
        // Queued: the child is not restarted inside its own finished().
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_stopped)
                    settle();
                else
                    runDemucs(m_demucsInput);
            },
            Qt::QueuedConnection);
        return;
    }
    if (result.status != 0) {
        // The network is to blame only when a download failed and left weights missing.
        const QString model = m_params.mode.demucsModel();
        const bool weightsFailed =
            m_fetchesWeights && m_sawDownloadError && !demucs::hasModelWeights(torchHome(), model);
        const QString hint = weightsFailed ? QStringLiteral("The ") + model +
                                                 QStringLiteral(" model could not be downloaded. Check the internet "
                                                                "connection and try again.")
                                           : QString();
        // Otherwise Demucs's own last error says why; a signal says more than any line.
        QString reason;
        if (!weightsFailed && result.outcome == RunResult::Outcome::failed) {
            const QString said = demucs::errorLine(m_demucsTail);
            reason = spaceReason(said, fileops::fileURLPath(m_params.profile.tempDir), true);
            if (reason.isEmpty() && !said.isEmpty())
                reason = firstSentence(said);
        }
        finishAfterCleanUp([this, result, hint, reason] {
            failWithHint(QStringLiteral("Stem Separation Failed"),
                         failureMessage(result, QStringLiteral("Demucs"),
                                        QStringLiteral("Demucs failed with exit code %1.").arg(result.status)),
                         hint, reason);
        });
        return;
    }
    if (m_partFiles.isEmpty())
        startExport();
    else
        joinParts();
}

void SeparationJob::startExport()
{
    if (const QString named = stemsFolderFor(m_params.saveFolder, m_params.audioFile); named != m_stemsFolder)
        log(QStringLiteral("The stems folder ") + named + QStringLiteral(" holds the stems of another file; saving to ") +
            m_stemsFolder + QLatin1Char('.'));
    if (const std::optional<separation::Manifest> earlier = separation::readManifest(m_stemsFolder)) {
        for (const separation::ManifestStem& stem : earlier->stems)
            m_listedBefore << fileops::lastComponent(stem.path);
    }
    // Half-encoded stems of a run that was killed. The claim says whether its
    // owner was ours; without one, an older version's run keeps its file fresh.
    const QStringList stale = m_stemsClaim.tookOver()
                                  ? leftovers::stemTemporaries(m_stemsFolder)
                                  : leftovers::staleStemTemporaries(m_stemsFolder, QDateTime::currentDateTime());
    if (!stale.isEmpty())
        log(leftovers::removedMessage(leftovers::removeLeftovers(stale)));
    const QStringList stems = m_params.mode.stems();
    for (const QString& stem : stems) {
        Encode encode;
        encode.stem = stem;
        encode.temporary = fileops::appendingComponent(
            m_stemsFolder, QStringLiteral(".%1.%2.tmp").arg(stemFileName(stem), uuidText()));
        m_encodes.push_back(std::move(encode));
    }
    m_slots = encodeSlots(m_params.maxParallelEncodes, int(stems.size()));
    startEncodes();
}

void SeparationJob::startEncodes()
{
    const QString modelFolder = fileops::appendingComponent(m_outputRoot, m_params.mode.demucsModel());
    const auto running = [this] {
        return std::count_if(m_encodes.cbegin(), m_encodes.cend(),
                             [](const Encode& e) { return e.run && !e.done; });
    };
    while (!m_stopped && !m_exportError && m_nextStem < m_encodes.size() && running() < m_slots) {
        const size_t index = m_nextStem++;
        Encode& encode = m_encodes[index];
        const std::optional<QString> wav = separation::findFile(SeparationMode::demucsStemName(encode.stem) + QStringLiteral(".wav"), modelFolder);
        if (!wav) {
            exportFailed(AppError::stemloft(1, QStringLiteral("Demucs did not produce ") +
                                                   SeparationMode::demucsStemName(encode.stem) +
                                                   QStringLiteral(".wav")));
            return;
        }
        log(QStringLiteral("Encoding ") + stemFileName(encode.stem) + QStringLiteral("..."));
        setProgress(SeparationStage::encoding, double(m_doneEncodes) / double(m_encodes.size()),
                    QStringLiteral("Encoding %1 of %2").arg(index + 1).arg(m_encodes.size()));
        encode.run = std::make_unique<ConversionRun>(m_params.profile, separation::stemTarget(m_params.format), *wav,
                                                     encode.temporary);
        ConversionRun* run = encode.run.get();
        connect(run, &ConversionRun::finished, this, [this, run] { onEncodeFinished(run); });
        if (!run->start()) {
            encode.done = true;
            ++m_doneEncodes;
            exportFailed(*run->error());
            return;
        }
    }
}

void SeparationJob::onEncodeFinished(ConversionRun* run)
{
    for (Encode& encode : m_encodes) {
        if (encode.run.get() == run)
            encode.done = true;
    }
    ++m_doneEncodes;
    if (run->error() && !run->wasStopped()) {
        exportFailed(*run->error());
        return;
    }
    if (m_stopped || m_exportError) {
        settle();
        return;
    }
    setProgress(SeparationStage::encoding, double(m_doneEncodes) / double(m_encodes.size()),
                QStringLiteral("Encoding %1 of %2").arg(std::min(m_nextStem, m_encodes.size())).arg(m_encodes.size()));
    if (size_t(m_doneEncodes) == m_encodes.size())
        commitExport();
    else
        startEncodes();
}

void SeparationJob::exportFailed(const AppError& error)
{
    if (!m_exportError) {
        m_exportError = error;
        // A full disk is named as such, not as the converter's failure.
        if (const QString full = spaceReason(error.localizedDescription(), m_stemsFolder, false); !full.isEmpty())
            m_exportError = AppError(error.domain(), error.code(), full);
    }
    for (Encode& encode : m_encodes) {
        if (encode.run && !encode.done)
            encode.run->stop();
    }
    settle();
}

void SeparationJob::commitExport()
{
    using fileops::appendingComponent;
    const SeparationMode& mode = m_params.mode;
    const QString folderName = fileops::lastComponent(m_stemsFolder);
    separation::Manifest manifest;
    manifest.mode = mode.modeLabel();
    manifest.model = mode.demucsModel();
    manifest.sourceAudioPath = m_params.audioFile;
    try {
        // Nothing is moved until every target can take its file.
        const QStringList targets = [&] {
            QStringList names;
            for (const Encode& encode : std::as_const(m_encodes))
                names << stemFileName(encode.stem);
            return names << QStringLiteral("manifest.json");
        }();
        for (const QString& name : targets) {
            const QString target = appendingComponent(m_stemsFolder, name);
            const QFileInfo info(target);
            if (info.isDir() && !info.isSymLink())
                throw AppError(QStringLiteral("FileSystem"), EISDIR,
                               QStringLiteral("Could not write \"%1\": a folder is in the way").arg(target));
        }
        for (const Encode& encode : std::as_const(m_encodes)) {
            const QString fileName = stemFileName(encode.stem);
            const QString target = appendingComponent(m_stemsFolder, fileName);
            // An uncompressed copy beside the stems is a leftover, unless it is
            // a WAV export the earlier manifest lists.
            const QString staleName = encode.stem + QStringLiteral(".wav");
            const QString staleCopy = appendingComponent(m_stemsFolder, staleName);
            if (staleName != fileName && !m_listedBefore.contains(staleName) && fileops::itemExists(staleCopy))
                fileops::removeItem(staleCopy);
            fileops::moveItem(encode.temporary, target);
            manifest.stems.append({encode.stem, QStringLiteral("stems/") + folderName + QLatin1Char('/') + fileName,
                                   fileops::fileSize(target).value_or(0),
                                   separation::formatContentType(m_params.format)});
        }
        manifest.createdAt = QDateTime::currentDateTimeUtc();
        // A crash or a full disk mid-write must not leave a truncated manifest.
        fileops::writeFileAtomically(appendingComponent(m_stemsFolder, QStringLiteral("manifest.json")),
                                     separation::manifestJson(manifest));
    } catch (const AppError& error) {
        m_exportError = error;
        settle();
        return;
    }
    m_createdFolders.clear();  // they hold the export now
    setProgress(SeparationStage::encoding, 1, QStringLiteral("Stems saved"));
    finishAfterCleanUp([this] {
        emit logEntries({QStringLiteral("Stem separation complete."), QStringLiteral("Saved stems: ") + m_stemsFolder});
        emit stemsSaved(m_stemsFolder);
        inform(QStringLiteral("Stem Separation Complete"), QStringLiteral("Stems were saved to ") + m_stemsFolder);
        finishWith(Outcome::succeeded);
    });
}

void SeparationJob::stop()
{
    if (hasFinished() || m_stopped)
        return;
    m_stopped = true;
    *m_partsCancel = true;
    if (m_probe)
        m_probe->stop();
    if (m_durationProbe)
        m_durationProbe->stop();
    if (m_inputConversion)
        m_inputConversion->stop();
    m_demucs.stop();
    for (Encode& encode : m_encodes) {
        if (encode.run && !encode.done)
            encode.run->stop();
    }
    settle();
}

void SeparationJob::settle()
{
    if (hasFinished())
        return;
    const bool busy = m_probe || m_durationProbe || m_partsBusy ||
                      (m_inputConversion && m_inputConversion->isActive()) || m_demucs.isActive() ||
                      std::any_of(m_encodes.cbegin(), m_encodes.cend(),
                                  [](const Encode& e) { return e.run && !e.done; });
    if (busy)
        return;  // the last child to end comes back here
    finishAfterCleanUp([this] {
        if (m_exportError) {
            const QString message = m_exportError->localizedDescription();
            log(QStringLiteral("Failed to save stems: ") + message);
            warn(QStringLiteral("Stem Save Failed"), message);
            finishWith(Outcome::failed);
            return;
        }
        log(QStringLiteral("Stopped."));
        finishWith(Outcome::stopped);
    });
}

void SeparationJob::finishAfterCleanUp(std::function<void()> report)
{
    if (m_cleaningUp)
        return;
    m_cleaningUp = true;
    const QString root = std::exchange(m_outputRoot, QString());
    cleanUp();
    if (root.isEmpty() || !fileops::itemExists(root)) {
        report();
        return;
    }
    // Demucs's output is hundreds of MB; removing it must not freeze the window.
    m_rootRemoval = fileops::removeItemInBackground(root, this, [report](const QString&) { report(); });
}

void SeparationJob::cleanUp()
{
    for (const Encode& encode : std::as_const(m_encodes))
        fileops::removeItemQuietly(encode.temporary);
    m_stemsClaim.release();
    m_environmentClaim.release();
    // Only folders this run made, and only while nothing else is in them.
    for (const QString& folder : std::as_const(m_createdFolders)) {
        if (fileops::itemExists(folder) && !QDir().rmdir(folder))
            break;
    }
    if (!m_outputRoot.isEmpty())
        fileops::removeItemQuietly(m_outputRoot);
}

separation::PartSettings SeparationJob::partSettings() const
{
    const PlatformProfile& p = m_params.profile;
    return {p.longRecordingSeconds, p.partSeconds, p.partOverlapSeconds};
}

QString SeparationJob::partsFolder() const
{
    return fileops::appendingComponent(m_outputRoot, QStringLiteral("parts"));
}

void SeparationJob::separateInput(const QString& input)
{
    const auto header = separation::readWavHeader(input);
    if (const auto* format = std::get_if<separation::WavFormat>(&header)) {
        if (const auto spans = separation::planFor(*format, partSettings()); spans.size() > 1) {
            m_partSpans = spans;
            splitInput(input, *format);
            return;
        }
    }
    runDemucs(input);
}

void SeparationJob::runPartsWork(std::function<QString(const std::atomic<bool>& cancel)> work,
                                 std::function<void()> done)
{
    auto error = std::make_shared<QString>();
    m_partsBusy = true;
    m_partsWork = fileops::runInBackground(
        [work = std::move(work), error, cancel = m_partsCancel] { *error = work(*cancel); }, this,
        [this, error, done = std::move(done)] {
            m_partsBusy = false;
            if (m_stopped || *error == separation::cancelledText) {
                settle();
                return;
            }
            if (error->isEmpty()) {
                done();
                return;
            }
            const QString full = spaceReason(*error, fileops::fileURLPath(m_params.profile.tempDir), true);
            finishAfterCleanUp([this, message = *error, full] {
                failWithHint(QStringLiteral("Stem Separation Failed"), message, QString(), full);
            });
        });
}

void SeparationJob::splitInput(const QString& input, const separation::WavFormat& format)
{
    m_inputRate = format.sampleRate;
    m_inputFrames = format.frames;
    const QString folder = partsFolder();
    m_partFiles.clear();
    for (qsizetype k = 0; k < m_partSpans.size(); ++k)
        m_partFiles << fileops::appendingComponent(
            folder, QStringLiteral("part-%1.wav").arg(k + 1, 3, 10, QLatin1Char('0')));
    log(QStringLiteral("Long recording: separating in %1 parts.").arg(m_partSpans.size()));
    // The converter's copy is not needed once cut; the user's own file stays.
    const bool dropInput = input != m_input;
    runPartsWork(
        [input, format, spans = m_partSpans, parts = m_partFiles, folder, dropInput](const std::atomic<bool>& cancel) {
            try {
                fileops::createDirectories(folder);
            } catch (const AppError& error) {
                return error.localizedDescription();
            }
            const QString error = separation::splitWav(input, format, spans, parts, cancel);
            if (!error.isEmpty() && error != separation::cancelledText)
                return QStringLiteral("Failed to split the recording into parts: ") + error;
            if (error.isEmpty() && dropInput)
                fileops::removeItemQuietly(input);
            return error;
        },
        [this, input] { runDemucs(input); });
    setProgress(SeparationStage::demucs, 0, QStringLiteral("Separating: Splitting"));
}

void SeparationJob::joinParts()
{
    const QString model = m_params.mode.demucsModel();
    const QString stemsOfParts = fileops::appendingComponent(partsFolder(), model);
    const QString joined = fileops::appendingComponent(m_outputRoot, model);
    runPartsWork(
        [parts = m_partFiles, spans = m_partSpans, rate = m_inputRate, frames = m_inputFrames, stemsOfParts,
         joined](const std::atomic<bool>& cancel) -> QString {
            // Demucs is done with the input's parts: their space goes to the joined stems.
            for (const QString& part : parts)
                fileops::removeItemQuietly(part);
            QStringList partFolders;
            for (const QString& part : parts)
                partFolders << fileops::appendingComponent(
                    stemsOfParts, fileops::deletingPathExtension(fileops::lastComponent(part)));
            // The stems are whatever Demucs wrote for the first part.
            const QStringList stems =
                QDir(partFolders.first()).entryList({QStringLiteral("*.wav")}, QDir::Files, QDir::Name);
            try {
                fileops::createDirectories(joined);
            } catch (const AppError& error) {
                return error.localizedDescription();
            }
            for (const QString& stem : stems) {
                QStringList stemParts;
                for (const QString& folder : partFolders)
                    stemParts << fileops::appendingComponent(folder, stem);
                const QString error = separation::joinStem(stemParts, spans, rate, frames,
                                                           fileops::appendingComponent(joined, stem), cancel);
                if (error == separation::cancelledText)
                    return error;
                if (!error.isEmpty())
                    return QStringLiteral("Failed to join the parts of ") + stem + QStringLiteral(": ") + error;
                for (const QString& file : stemParts)
                    fileops::removeItemQuietly(file);
            }
            return {};
        },
        [this] { startExport(); });
    // Told once the work runs: a stop from now on waits for it.
    setProgress(SeparationStage::demucs, 1, QStringLiteral("Separating: Joining parts"));
}
