#pragma once

// The managed Demucs environment: its check, the device, its children's environment, its users.

#include "process/Ownership.h"
#include "base/PlatformProfile.h"
#include "process/ChildProcess.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The managed Demucs environment as its users see it: whether it passes its
// check and why not, what PyTorch can run on, the environment its Python
// children get, the wheels that fit the machine, and the model weights.
namespace demucs {

enum class Device { unknown, cpu, cuda, mps };

// How the compatibility check of the managed interpreter ended.
struct ProbeAnswer {
    bool compatible = false;
    bool timedOut = false;
    bool stopped = false;
    bool interpreterMissing = false;
    Device device = Device::unknown;
    // Why the check failed, as a sentence; empty when it passed.
    QString reason;
    // The end of what the check printed.
    QStringList lastLines;

    // What the log says about a failed check: nothing when it passed, was
    // stopped or found no interpreter to run.
    QStringList logLines(int timeLimitMs) const;
};

// Runs the check in the background; done is called once (at once when the
// interpreter is missing or cannot be started). Returns the running child.
ChildProcess* probeManagedEnvironment(QObject* owner, const QString& managedPython,
                                      const QProcessEnvironment& environment, int timeLimitMs,
                                      std::function<void(ProbeAnswer)> done);
// Reads a finished check: its outcome and what it printed.
ProbeAnswer probeAnswer(const RunResult& result, const QByteArray& output, int timeLimitMs);

// The log line of a compatibility check that ran out of time.
QString environmentCheckTimeoutMessage(int timeLimitMs);

// "Device: CPU" and the like, "Device: CPU (2 threads)" with a known thread
// count on the CPU; empty for an unknown device.
QString deviceLine(Device device, int cpuThreads = 0);

// The variables by which the user's own Python set-up (a PYTHONPATH, an
// activated venv or conda) would reach the managed one.
const QStringList& userPythonVariables();

// The environment of every Python child: none of userPythonVariables()
// reaches it; pip's settings do. Model weights go below torchHome when it is
// given.
QProcessEnvironment pythonEnvironment(QProcessEnvironment environment, const QString& torchHome);

// Where PyTorch comes from and how much of it: the CPU build on Linux x86-64
// without an NVIDIA driver, the default index everywhere else.
struct PackageSource {
    QStringList pipOptions;  // for the package install only
    QString wheelSize;       // "about 64 MB"
};
PackageSource packageSource(const PlatformProfile& profile, bool nvidiaDriver);

// The checkpoint files a pretrained model loads, as torch.hub names them.
QStringList modelWeightFiles(const QString& model);
// The checkpoints of model not yet below torchHome; none when all are there.
QStringList missingModelWeights(const QString& torchHome, const QString& model);
inline bool hasModelWeights(const QString& torchHome, const QString& model)
{
    return missingModelWeights(torchHome, model).isEmpty();
}

// Who uses the environment: each separation holds a claim of its own in
// environmentUseFolder while it runs from it, and an install holds
// environmentInstallClaim while it may change it. Each looks for the other
// after taking its own, so of two starting at once one always sees the other.
QString environmentUseFolder(const QString& environmentFolder);
QString environmentInstallClaim(const QString& environmentFolder);
// One run's claim in environmentUseFolder; throws AppError when it cannot be made.
ownership::Claim claimEnvironmentUse(const QString& environmentFolder);
// The process of a run that uses the environment now; claims left by runs
// that are gone are removed on the way.
std::optional<qint64> environmentUser(const QString& environmentFolder);

}  // namespace demucs
