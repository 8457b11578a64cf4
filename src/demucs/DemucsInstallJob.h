#pragma once

#include "app/PlatformProfile.h"
#include "demucs/PythonProbes.h"
#include "jobs/Job.h"
#include "process/ChildProcess.h"

#include <QPointer>
#include <QThread>
#include <QTimer>

// Builds the managed Demucs environment: checks the one there, finds a
// system Python, then runs venv and pip through the login shell.
class DemucsInstallJob : public Job {
    Q_OBJECT
public:
    struct Params {
        PlatformProfile profile;
        QProcessEnvironment environment;
        QString supportFolder;
        QString environmentFolder;
        QString managedPython;
    };

    explicit DemucsInstallJob(Params params, QObject* parent = nullptr);
    ~DemucsInstallJob() override;

    void start() override;
    void stop() override;

    // What a failed run of the installation shell reads as.
    static QString installFailureMessage(const RunResult& result);

signals:
    // The environment answers the compatibility probe, or was just built.
    void installed();

private:
    void findPython();
    void install(const QString& systemPython, const QString& versionDescription);
    void launchShell(const QString& systemPython, const QString& versionDescription);
    void onInstallFinished(const RunResult& result);
    void handleOutput(const QString& text);
    void finishStopped();

    Params m_params;
    demucs::PythonFinder m_finder;
    QPointer<ChildProcess> m_probe;
    ChildProcess m_shell;
    QTimer m_noteTimer;
    bool m_stopped = false;
    QPointer<QThread> m_removal;
    bool m_environmentStarted = false;
    int m_lastPercent = -1;
};
