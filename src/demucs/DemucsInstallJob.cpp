// Building the managed Demucs environment with a login shell.
#include "demucs/DemucsInstallJob.h"

#include "base/AppError.h"
#include "base/Background.h"
#include "base/FileOps.h"
#include "demucs/DemucsContract.h"

#include <algorithm>

namespace {

const QString installedTitle = QStringLiteral("Demucs Installed");
const QString installFailedTitle = QStringLiteral("Demucs Install Failed");

}  // namespace

DemucsInstallJob::DemucsInstallJob(Params params, QObject* parent)
    : Job(parent),
      m_params(std::move(params)),
      m_finder(m_params.profile, m_params.environment, demucs::managedPythonFolder(m_params.supportFolder))
{
    // Another install may begin as soon as this one is reported over.
    connect(this, &Job::finished, this, [this] { m_installClaim.release(); });
    m_noteTimer.setInterval(m_params.profile.demucsProgressIntervalMs);
    connect(&m_noteTimer, &QTimer::timeout, this, [this] {
        log(QStringLiteral("Still installing Demucs dependencies. Large PyTorch downloads can take several minutes."));
    });
    connect(&m_shell, &ChildProcess::output, this, &DemucsInstallJob::handleOutput);
    connect(&m_shell, &ChildProcess::finished, this, &DemucsInstallJob::onInstallFinished);
    connect(&m_finder, &demucs::PythonFinder::probeTimedOut, this, [this](const QString& candidate) {
        log(demucs::probeTimeoutMessage(QStringLiteral("The Python check of ") + candidate,
                                        m_params.profile.probeTimeLimitMs));
    });
    connect(&m_finder, &demucs::PythonFinder::finished, this,
            [this](const std::optional<QString>& python, bool stopped) {
                if (stopped || m_stopped) {
                    finishStopped();
                    return;
                }
                if (!python) {
                    onNoPythonFound();
                    return;
                }
                describeAndUse(*python);
            });
}

DemucsInstallJob::~DemucsInstallJob()
{
    if (m_removal)
        m_removal->wait();
    if (!m_shell.isActive())
        return;
    m_shell.killAndReap();
    if (m_environmentStarted && fileops::removeItemQuietly(m_params.environmentFolder))
        fileops::removeItemQuietly(buildingMarker(m_params.environmentFolder));
}

QString DemucsInstallJob::buildingMarker(const QString& environmentFolder)
{
    return environmentFolder + QStringLiteral(".incomplete");
}

void DemucsInstallJob::check(std::function<void(const demucs::ProbeAnswer&)> done)
{
    emit stage(QStringLiteral("Checking Demucs"));
    emit progress(-1);
    m_probe = demucs::probeManagedEnvironment(this, m_params.managedPython, m_params.environment,
                                              m_params.profile.probeTimeLimitMs,
                                              [this, done](const demucs::ProbeAnswer& answer) {
                                                  m_probe = nullptr;
                                                  if (answer.stopped || m_stopped)
                                                      finishStopped();
                                                  else
                                                      done(answer);
                                              });
}

void DemucsInstallJob::start()
{
    check([this](const demucs::ProbeAnswer& answer) { onChecked(answer); });
}

void DemucsInstallJob::onChecked(const demucs::ProbeAnswer& answer)
{
    if (answer.compatible) {
        // An install ended before its own check (killed, or quit) left a
        // working environment: from now on it is asked about like any other.
        fileops::removeItemQuietly(buildingMarker(m_params.environmentFolder));
        emit installed();
        emit logEntries({QStringLiteral("Demucs is already installed."), m_params.managedPython});
        inform(QStringLiteral("Demucs Already Installed"),
                   QStringLiteral("You can separate stems without installing again."));
        finishWith(Outcome::succeeded);
        return;
    }
    emit logEntries(answer.logLines(m_params.profile.probeTimeLimitMs));
    // Before anything is asked or changed: never under another Stemloft's run.
    if (!claimEnvironment())
        return;
    m_checkReason = answer.reason;
    // With the claim held no other install runs: what one killed on its way
    // to a Python left goes now, even if it is never tried again.
    m_removal = fileops::removeItemsQuietlyInBackground(
        demucs::PythonInstall::leftovers(m_params.supportFolder), this, [this] {
            m_removal = nullptr;
            findPython();
        });
}

bool DemucsInstallJob::claimEnvironment()
{
    const QString& env = m_params.environmentFolder;
    QString busy;
    try {
        fileops::createDirectories(m_params.supportFolder);
        auto taken = ownership::Claim::take(demucs::environmentInstallClaim(env));
        if (const auto* installer = std::get_if<ownership::Claim::Holder>(&taken)) {
            busy = QStringLiteral("Demucs is being installed by another Stemloft (process %1).").arg(installer->pid);
        } else {
            m_installClaim = std::move(std::get<ownership::Claim>(taken));
            // Looked for after the claim is held: a separation starting now sees it.
            if (const std::optional<qint64> user = demucs::environmentUser(env))
                busy = QStringLiteral("The Demucs environment is in use by another Stemloft (process %1).").arg(*user);
        }
    } catch (const AppError& error) {
        log(QStringLiteral("Failed to start Demucs install: ") + error.localizedDescription());
        finishWith(Outcome::failed);
        return false;
    }
    if (busy.isEmpty())
        return true;
    m_installClaim.release();
    busy += QStringLiteral(" Try again when it has finished.");
    log(busy);
    warn(installFailedTitle, busy);
    finishWith(Outcome::failed);
    return false;
}

void DemucsInstallJob::findPython()
{
    if (m_stopped) {
        finishStopped();
        return;
    }
    emit stage(QStringLiteral("Finding Python"));
    m_finder.start();
}

void DemucsInstallJob::onNoPythonFound()
{
    const QString& advice = m_params.profile.pythonNotFoundMessage;
    if (m_params.pythonInstall.uvURL.isEmpty()) {
        const QString message = QStringLiteral("No Python 3.9 to 3.12 with the venv module was found. ") + advice;
        log(message);
        warn(installFailedTitle, message);
        finishWith(Outcome::failed);
        return;
    }
    emit stage(QStringLiteral("Installing Python"));
    log(QStringLiteral("No Python 3.9 to 3.12 was found; installing Python 3.12 for Stemloft (about 35 MB)..."));
    m_pythonInstall = new demucs::PythonInstall(m_params.pythonInstall, this);
    connect(m_pythonInstall, &demucs::PythonInstall::logEntries, this, &Job::logEntries);
    connect(m_pythonInstall, &demucs::PythonInstall::downloaded, this, [this](const QString& bytes) {
        emit stage(QStringLiteral("Installing Python: ") + bytes);
        log(QStringLiteral("Downloaded ") + bytes + QStringLiteral("..."));
    });
    connect(m_pythonInstall, &demucs::PythonInstall::finished, this, &DemucsInstallJob::onPythonInstallFinished);
    m_pythonInstall->start();
}

void DemucsInstallJob::onPythonInstallFinished(demucs::PythonInstall::Outcome outcome, const QString& pythonOrReason)
{
    m_pythonInstall->deleteLater();  // it ended inside its own signal
    m_pythonInstall = nullptr;
    if (outcome == demucs::PythonInstall::Outcome::stopped || m_stopped) {
        finishStopped();
        return;
    }
    if (outcome == demucs::PythonInstall::Outcome::failed) {
        const QString message = QStringLiteral("Python could not be installed: ") + pythonOrReason +
                                QLatin1Char(' ') + m_params.profile.pythonNotFoundMessage;
        log(message);
        warn(installFailedTitle, message);
        finishWith(Outcome::failed);
        return;
    }
    m_pythonInstalled = true;
    log(QStringLiteral("Python installed: ") + pythonOrReason);
    describeAndUse(pythonOrReason);
}

void DemucsInstallJob::describeAndUse(const QString& python)
{
    m_finder.describeVersion(python, [this, python](const QString& version) {
        if (m_stopped)
            finishStopped();
        else
            onPythonFound(python, version);
    });
}

void DemucsInstallJob::onPythonFound(const QString& systemPython, const QString& versionDescription)
{
    // Anything there failed its check. One that never passed it (an install
    // that failed or was killed) goes without a question; one that did may be
    // gigabytes that only a stray setting broke: it goes only when the user
    // says so.
    if (!fileops::itemExists(m_params.environmentFolder) ||
        fileops::itemExists(buildingMarker(m_params.environmentFolder))) {
        install(systemPython, versionDescription);
        return;
    }
    m_pendingPython = systemPython;
    m_pendingVersion = versionDescription;
    m_awaitingAnswer = true;
    emit stage(QStringLiteral("Waiting for an answer"));
    emit rebuildRequested(m_params.environmentFolder, m_checkReason);
}

QString DemucsInstallJob::rebuildQuestion(const QString& environmentFolder, const QString& reason)
{
    return QStringLiteral("The Demucs environment at ") + environmentFolder + QStringLiteral(" failed its check: ") +
           reason + QStringLiteral(" Delete it and install again?");
}

void DemucsInstallJob::answerRebuild(bool rebuild)
{
    if (!m_awaitingAnswer || hasFinished())
        return;
    m_awaitingAnswer = false;
    if (m_stopped) {
        finishStopped();
    } else if (rebuild) {
        install(m_pendingPython, m_pendingVersion);
    } else {
        log(QStringLiteral("The Demucs environment was left as it is."));
        finishWith(Outcome::stopped);
    }
}

void DemucsInstallJob::stop()
{
    if (hasFinished() || m_stopped)
        return;
    m_stopped = true;
    if (m_awaitingAnswer) {
        m_awaitingAnswer = false;
        finishStopped();
        return;
    }
    if (m_removal)
        return;  // the removal's end sees the stop
    if (m_shell.isRunning()) {
        m_shell.stop();
        return;
    }
    if (m_probe) {
        m_probe->stop();
        return;
    }
    if (m_pythonInstall) {
        m_pythonInstall->stop();
        return;
    }
    m_finder.stop();
}

void DemucsInstallJob::finishStopped()
{
    m_noteTimer.stop();
    auto report = [this] {
        log(QStringLiteral("Stopped."));
        finishWith(Outcome::stopped);
    };
    // Whatever was built is incomplete; the next install starts afresh.
    if (!m_environmentStarted) {
        report();
        return;
    }
    discardEnvironment(report);
}

void DemucsInstallJob::discardEnvironment(std::function<void()> report)
{
    const QString env = m_params.environmentFolder;
    const QString marker = buildingMarker(env);
    if (!fileops::itemExists(env) && !fileops::itemExists(marker)) {
        report();
        return;
    }
    // A half-installed PyTorch is gigabytes: removed off the window's thread.
    // The marker goes last, so what a failed removal leaves is still removed
    // next time without a question.
    m_removal = fileops::runInBackground(
        [env, marker] {
            if (fileops::removeItemQuietly(env))
                fileops::removeItemQuietly(marker);
        },
        this, std::move(report));
}

void DemucsInstallJob::install(const QString& systemPython, const QString& versionDescription)
{
    const QString& env = m_params.environmentFolder;
    try {
        fileops::createDirectories(m_params.supportFolder);
    } catch (const AppError& error) {
        log(QStringLiteral("Failed to start Demucs install: ") + error.localizedDescription());
        finishWith(Outcome::failed);
        return;
    }
    // The Python just installed stays in view.
    if (!m_pythonInstalled)
        emit logCleared();
    emit stage(QStringLiteral("Installing Demucs"));
    emit logEntries({QStringLiteral("Installing Demucs into managed Python environment..."), env});
    // The check found no usable installation, and the user agreed to replace it.
    if (!fileops::itemExists(env)) {
        launchShell(systemPython, versionDescription);
        return;
    }
    log(QStringLiteral("Removing incomplete Demucs environment..."));
    m_removal = fileops::removeItemInBackground(
        env, this, [this, systemPython, versionDescription](const QString& error) {
            m_removal = nullptr;
            if (m_stopped) {
                finishStopped();
            } else if (!error.isEmpty()) {
                log(QStringLiteral("Failed to start Demucs install: ") + error);
                finishWith(Outcome::failed);
            } else {
                launchShell(systemPython, versionDescription);
            }
        });
}

void DemucsInstallJob::launchShell(const QString& systemPython, const QString& versionDescription)
{
    const QString& env = m_params.environmentFolder;
    const demucs::PackageSource source = demucs::packageSource(m_params.profile, m_params.nvidiaDriver);
    try {
        emit logEntries({QStringLiteral("Using Python: ") + systemPython + versionDescription,
                         QStringLiteral("This can take several minutes on the first install."),
                         QStringLiteral("Downloading PyTorch and Demucs dependencies. The PyTorch wheel is ") +
                             source.wheelSize +
                             (m_pythonInstalled ? QStringLiteral(", after about 35 MB for Python 3.12.")
                                                : QStringLiteral("."))});

        m_shell.setProgram(m_params.profile.loginShell);
        m_shell.setArguments({m_params.profile.loginShellFlag,
                              demucs::installCommandString(systemPython, env, m_params.managedPython,
                                                           source.pipOptions)});
        m_shell.setEnvironment(m_params.environment);
        // Written before venv runs, so even a killed install leaves it.
        fileops::writeFileAtomically(buildingMarker(env), QByteArray());
        m_noteTimer.start();
        m_environmentStarted = true;
        if (!m_shell.start()) {
            m_environmentStarted = false;
            fileops::removeItemQuietly(buildingMarker(env));
            throw AppError(QStringLiteral("Process"), 0, m_shell.result().error);
        }
    } catch (const AppError& error) {
        m_noteTimer.stop();
        log(QStringLiteral("Failed to start Demucs install: ") + error.localizedDescription());
        finishWith(Outcome::failed);
    }
}

void DemucsInstallJob::handleOutput(const QString& text)
{
    const QStringList lines = splitOutputLines(text);
    emit logEntries(lines);
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        if (const std::optional<int> percent = demucs::pipProgressPercent(*it)) {
            if (*percent != m_lastPercent) {
                m_lastPercent = *percent;
                emit stage(QStringLiteral("Installing Demucs %1%").arg(*percent));
                emit progress(*percent);
            }
            break;
        }
    }
}

QString DemucsInstallJob::installFailureMessage(const RunResult& result)
{
    const QString tool = QStringLiteral("The Demucs installation");
    // The shell survives when pip is killed and exits with 128 + the signal
    // number, the shell's way of naming it.
    if (result.outcome == RunResult::Outcome::failed && result.status > 128 && result.status <= 128 + 64 &&
        !signalName(result.status - 128).isEmpty())
        return signalMessage(tool, result.status - 128);
    return failureMessage(result, tool, QStringLiteral("Demucs install failed with exit code %1.").arg(result.status));
}

void DemucsInstallJob::onInstallFinished(const RunResult& result)
{
    m_noteTimer.stop();
    if (result.outcome == RunResult::Outcome::stopped) {
        finishStopped();
        return;
    }
    if (result.status != 0) {
        // The partly built environment goes, so the next install starts
        // without a question about it.
        discardEnvironment([this, message = installFailureMessage(result)] {
            log(message);
            warn(installFailedTitle, message);
            finishWith(Outcome::failed);
        });
        return;
    }
    // pip's status says the packages arrived, not that they work together:
    // only the check may call the environment installed. It is complete now,
    // so a stop from here on keeps it.
    m_environmentStarted = false;
    check([this](const demucs::ProbeAnswer& answer) { onVerified(answer); });
}

void DemucsInstallJob::onVerified(const demucs::ProbeAnswer& answer)
{
    if (!answer.compatible) {
        // It never worked: it goes like a failed install's.
        discardEnvironment([this, answer] {
            emit logEntries(answer.logLines(m_params.profile.probeTimeLimitMs));
            const QString message = QStringLiteral("The new Demucs environment failed its check: ") + answer.reason;
            log(message);
            warn(installFailedTitle, message);
            finishWith(Outcome::failed);
        });
        return;
    }
    fileops::removeItemQuietly(buildingMarker(m_params.environmentFolder));
    emit installed();
    emit logEntries({QStringLiteral("Installed Demucs."), m_params.managedPython});
    inform(installedTitle, QStringLiteral("You can now separate reference audio into stems."));
    finishWith(Outcome::succeeded);
}
