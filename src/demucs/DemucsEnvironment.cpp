// The managed Demucs environment: whether it works and why not, the device
// PyTorch runs on, and what its Python children and pip get.
#include "demucs/DemucsEnvironment.h"

#include "base/AppError.h"
#include "base/FileOps.h"
#include "demucs/DemucsContract.h"
#include "demucs/PythonProbes.h"

#include <QDir>
#include <QThread>
#include <QUuid>

namespace {

const QLatin1String deviceMarker("stemloft-device: ");
constexpr int keptOutputLines = 5;

// Text that ends as a sentence does, so more can follow it.
QString asSentence(QString text)
{
    text = text.trimmed();
    if (!text.isEmpty() && !text.endsWith(QLatin1Char('.')) && !text.endsWith(QLatin1Char('!')) &&
        !text.endsWith(QLatin1Char('?')))
        text += QLatin1Char('.');
    return text;
}

}  // namespace

QStringList demucs::ProbeAnswer::logLines(int timeLimitMs) const
{
    if (compatible || stopped || interpreterMissing)
        return {};
    if (timedOut)
        return {environmentCheckTimeoutMessage(timeLimitMs)};
    const QString heading = QStringLiteral("The Demucs environment check failed:");
    if (lastLines.isEmpty())
        return {heading + QLatin1Char(' ') + reason};
    return QStringList{heading} + lastLines;
}

demucs::ProbeAnswer demucs::probeAnswer(const RunResult& result, const QByteArray& output, int timeLimitMs)
{
    ProbeAnswer answer;
    answer.compatible = result.ok();
    answer.timedOut = result.outcome == RunResult::Outcome::timedOut;
    answer.stopped = result.outcome == RunResult::Outcome::stopped;
    QStringList lines;
    const QString text = decodeUtf8(output).value_or(QString::fromLatin1(output));
    for (const QString& line : splitOutputLines(text)) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(deviceMarker)) {
            const QString name = trimmed.mid(deviceMarker.size());
            answer.device = name == QLatin1String("cuda")  ? Device::cuda
                            : name == QLatin1String("mps") ? Device::mps
                            : name == QLatin1String("cpu") ? Device::cpu
                                                           : Device::unknown;
        } else if (!trimmed.isEmpty()) {
            lines << trimmed;
        }
    }
    if (answer.compatible || answer.stopped)
        return answer;
    answer.lastLines = lines.mid(std::max<qsizetype>(0, lines.size() - keptOutputLines));
    if (answer.timedOut)
        answer.reason = probeTimeoutMessage(QStringLiteral("The check"), timeLimitMs);
    else if (result.outcome == RunResult::Outcome::failedToStart)
        answer.reason = asSentence(QStringLiteral("Its Python could not be started: ") + result.error);
    else if (!answer.lastLines.isEmpty())
        answer.reason = asSentence(answer.lastLines.last());
    else if (result.outcome == RunResult::Outcome::crashed)
        answer.reason = signalMessage(QStringLiteral("The check"), result.status);
    else
        answer.reason = QStringLiteral("The check exited with status %1.").arg(result.status);
    return answer;
}

ChildProcess* demucs::probeManagedEnvironment(QObject* owner, const QString& managedPython,
                                              const QProcessEnvironment& environment, int timeLimitMs,
                                              std::function<void(ProbeAnswer)> done)
{
    if (!fileops::isExecutableFile(managedPython)) {
        ProbeAnswer answer;
        answer.interpreterMissing = true;
        answer.reason = QStringLiteral("Its Python interpreter is missing.");
        done(answer);
        return nullptr;
    }
    return startPythonRun(owner, managedPython, compatibilityProbeScript(), environment, timeLimitMs,
                          ChildProcess::Output::capture,
                          [done, timeLimitMs](const RunResult& result, const QByteArray& output) {
                              done(probeAnswer(result, output, timeLimitMs));
                          });
}

QString demucs::environmentCheckTimeoutMessage(int timeLimitMs)
{
    return probeTimeoutMessage(QStringLiteral("The Demucs environment check"), timeLimitMs);
}

QString demucs::deviceLine(Device device, int cpuThreads)
{
    switch (device) {
    case Device::cuda:
        return QStringLiteral("Device: NVIDIA GPU (CUDA)");
    case Device::mps:
        return QStringLiteral("Device: Apple GPU (MPS)");
    case Device::cpu:
        if (cpuThreads > 0)
            return QStringLiteral("Device: CPU (%1 %2)")
                .arg(cpuThreads)
                .arg(cpuThreads == 1 ? QStringLiteral("thread") : QStringLiteral("threads"));
        return QStringLiteral("Device: CPU");
    case Device::unknown:
        break;
    }
    return {};
}

const QStringList& demucs::userPythonVariables()
{
    static const QStringList names = {
        QStringLiteral("PYTHONHOME"),     QStringLiteral("PYTHONPATH"),   QStringLiteral("PYTHONSTARTUP"),
        QStringLiteral("PYTHONUSERBASE"), QStringLiteral("VIRTUAL_ENV"),  QStringLiteral("CONDA_PREFIX"),
        QStringLiteral("CONDA_DEFAULT_ENV"),
    };
    return names;
}

QProcessEnvironment demucs::pythonEnvironment(QProcessEnvironment environment, const QString& torchHome)
{
    for (const QString& name : userPythonVariables())
        environment.remove(name);
    if (!torchHome.isEmpty())
        environment.insert(QStringLiteral("TORCH_HOME"), torchHome);
    return environment;
}

demucs::PackageSource demucs::packageSource(const PlatformProfile& profile, bool nvidiaDriver)
{
    if (profile.system == PlatformProfile::System::macOS)
        return {{}, QStringLiteral("about 64 MB")};
    const bool x86 = profile.cpuArchitecture == QLatin1String("x86_64");
    if (x86 && nvidiaDriver)
        return {{}, QStringLiteral("over 3 GB (the CUDA build, for your NVIDIA GPU)")};
    // The default index serves x86-64 Linux the CUDA build: gigabytes of no
    // use without an NVIDIA GPU. pip prefers the "+cpu" build of the pinned
    // version from this index.
    if (x86)
        return {{QStringLiteral("--extra-index-url"), QStringLiteral("https://download.pytorch.org/whl/cpu")},
                QStringLiteral("about 180 MB")};
    return {{}, QStringLiteral("about 180 MB")};
}

QStringList demucs::modelWeightFiles(const QString& model)
{
    // The signatures the models' descriptions name, with the checksum part
    // the published files carry.
    if (model == QLatin1String("htdemucs"))
        return {QStringLiteral("955717e8-8726e21a.th")};
    if (model == QLatin1String("htdemucs_6s"))
        return {QStringLiteral("5c90dfd2-34c22ccb.th")};
    if (model == QLatin1String("htdemucs_ft"))
        return {QStringLiteral("f7e0c4bc-ba3fe64a.th"), QStringLiteral("d12395a8-e57c48e6.th"),
                QStringLiteral("92cfc3b6-ef3bcb9c.th"), QStringLiteral("04573f0d-f3cf25b2.th")};
    return {};
}

QStringList demucs::missingModelWeights(const QString& torchHome, const QString& model)
{
    const QString folder = fileops::appendingComponent(torchHome, QStringLiteral("hub/checkpoints"));
    QStringList missing;
    for (const QString& file : modelWeightFiles(model)) {
        if (fileops::fileSize(fileops::appendingComponent(folder, file)).value_or(0) <= 0)
            missing << file;
    }
    return missing;
}

QString demucs::environmentUseFolder(const QString& environmentFolder)
{
    return environmentFolder + QStringLiteral(".users");
}

QString demucs::environmentInstallClaim(const QString& environmentFolder)
{
    return environmentFolder + QStringLiteral(".installing");
}

ownership::Claim demucs::claimEnvironmentUse(const QString& environmentFolder)
{
    const QString folder = environmentUseFolder(environmentFolder);
    fileops::createDirectories(folder);
    // A name of its own: only an install looking for users holds it, for a moment.
    const QString path = fileops::appendingComponent(folder, QUuid::createUuid().toString(QUuid::WithoutBraces));
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto taken = ownership::Claim::take(path);
        if (auto* claim = std::get_if<ownership::Claim>(&taken))
            return std::move(*claim);
        QThread::msleep(10);
    }
    fileops::throwErrno(EBUSY, QStringLiteral("Could not claim \"%1\"").arg(path));
}

std::optional<qint64> demucs::environmentUser(const QString& environmentFolder)
{
    const QString folder = environmentUseFolder(environmentFolder);
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden)) {
        try {
            auto taken = ownership::Claim::take(fileops::appendingComponent(folder, name));
            if (const auto* holder = std::get_if<ownership::Claim::Holder>(&taken))
                return holder->pid;
        } catch (const AppError&) {
            continue;  // removed meanwhile by its run
        }
        // Taken over from a run that is gone: released, and so removed.
    }
    return std::nullopt;
}
