#pragma once

#include "base/PlatformProfile.h"
#include "demucs/DemucsEnvironment.h"
#include "demucs/ManagedPython.h"
#include "demucs/PythonProbes.h"
#include "jobs/Job.h"
#include "process/ChildProcess.h"

#include <QPointer>
#include <QThread>
#include <QTimer>

// Builds the managed Demucs environment: checks the one there, finds a
// Python (or installs one of its own with uv where none fits), asks before
// an existing environment is deleted, runs venv and pip through the login
// shell, and checks the result.
class DemucsInstallJob : public Job {
    Q_OBJECT
public:
    struct Params {
        PlatformProfile profile;
        QProcessEnvironment environment;
        QString supportFolder;
        QString environmentFolder;
        QString managedPython;
        // Whether an NVIDIA driver is loaded: it decides which PyTorch build comes.
        bool nvidiaDriver = false;
        // Where no Python fits: uv and where it goes (no uvURL: no uv for this machine).
        demucs::PythonInstall::Params pythonInstall;
    };

    explicit DemucsInstallJob(Params params, QObject* parent = nullptr);
    ~DemucsInstallJob() override;

    void start() override;
    void stop() override;

    // What a failed run of the installation shell reads as.
    static QString installFailureMessage(const RunResult& result);

    // The file beside the environment while it is being built, until it passed
    // its check: an environment with it never worked, so the next install
    // removes it without asking.
    static QString buildingMarker(const QString& environmentFolder);

    // What the user is asked when rebuildRequested() comes.
    static QString rebuildQuestion(const QString& environmentFolder, const QString& reason);

    // The answer to rebuildRequested(): delete the environment and build it
    // again, or leave everything as it is and end.
    void answerRebuild(bool rebuild);

signals:
    // The environment answers the compatibility probe, or was just built and does.
    void installed();
    // An environment that failed its check is there and was not left by an
    // install that never finished; the job waits for answerRebuild().
    void rebuildRequested(const QString& environmentFolder, const QString& reason);

private:
    void onChecked(const demucs::ProbeAnswer& answer);
    // Holds the environment for this install, unless another Stemloft's
    // install or separation uses it: then the run ends, and false.
    bool claimEnvironment();
    void findPython();
    void onNoPythonFound();
    // Asks python's version, then goes on with it.
    void describeAndUse(const QString& python);
    void onPythonInstallFinished(demucs::PythonInstall::Outcome outcome, const QString& pythonOrReason);
    void onPythonFound(const QString& systemPython, const QString& versionDescription);
    void install(const QString& systemPython, const QString& versionDescription);
    void launchShell(const QString& systemPython, const QString& versionDescription);
    void onInstallFinished(const RunResult& result);
    void onVerified(const demucs::ProbeAnswer& answer);
    // Runs the compatibility check; done gets the answer unless the job was stopped.
    void check(std::function<void(const demucs::ProbeAnswer&)> done);
    void handleOutput(const QString& text);
    void finishStopped();
    // Removes the environment being built and then its marker, on a worker
    // thread; report comes after.
    void discardEnvironment(std::function<void()> report);

    Params m_params;
    ownership::Claim m_installClaim;
    demucs::PythonFinder m_finder;
    QPointer<ChildProcess> m_probe;
    QPointer<demucs::PythonInstall> m_pythonInstall;
    bool m_pythonInstalled = false;
    ChildProcess m_shell;
    QTimer m_noteTimer;
    bool m_stopped = false;
    QPointer<QThread> m_removal;
    bool m_environmentStarted = false;
    QString m_checkReason;
    QString m_pendingPython, m_pendingVersion;
    bool m_awaitingAnswer = false;
    int m_lastPercent = -1;
};
