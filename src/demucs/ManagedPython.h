#pragma once

// A Python of Stemloft's own, installed with uv where the machine has none
// that Demucs's pinned PyTorch supports.

#include "fetch/DownloadTicker.h"
#include "fetch/ToolDownload.h"
#include "process/ChildProcess.h"

#include <QPointer>
#include <QProcessEnvironment>

class QThread;

namespace demucs {

// The version asked of uv: the newest PyTorch 2.5.1 has wheels for everywhere.
inline const QString managedPythonVersion = QStringLiteral("3.12");

// Where uv puts the Pythons it installs, and uv itself, below the support folder.
QString managedPythonFolder(const QString& supportFolder);
QString managedUv(const QString& supportFolder);
// uv's cache, and in it the downloads of Python's archives; gone after each install.
QString uvCacheFolder(const QString& supportFolder);
QString uvPythonDownloads(const QString& supportFolder);

// The interpreters of the installations in folder that Demucs can use
// ("cpython-3.9…" to "cpython-3.12…", as uv names them), newest first, as
// bin/python3.X, whether or not they are there.
QStringList managedPythonCandidates(const QString& folder);

// The environment of a uv run: none of the user's UV_ variables, no
// configuration file, and everything it keeps (Pythons, downloads, cache)
// in the support folder; no links in the user's bin folder.
QProcessEnvironment uvEnvironment(QProcessEnvironment environment, const QString& supportFolder);

// Downloads uv (verified against its published SHA-256), has it install
// Python into managedPythonFolder and asks it where that Python is. A stop
// or a failure removes uv, the half-installed Python and uv's downloads.
class PythonInstall : public QObject {
    Q_OBJECT
public:
    struct Params {
        QString supportFolder;
        QString curl;
        QString tar;
        QString uvURL;  // "…/uv-TARGET.tar.gz"; empty: no uv for this machine
        QProcessEnvironment environment;
        int progressIntervalMs = 750;
        int findTimeLimitMs = 120000;
    };
    enum class Outcome { installed, failed, stopped };

    explicit PythonInstall(Params params, QObject* parent = nullptr);
    // Kills a running step and removes what the install had made.
    ~PythonInstall() override;

    void start();
    void stop();

    // What an install killed on the way leaves in supportFolder: uv's
    // downloads and cache, a Python half unpacked. None of it is in use
    // while no install runs.
    static QStringList leftovers(const QString& supportFolder);

signals:
    void logEntries(const QStringList& lines);
    // The bytes downloaded so far ("12.3 MB"): uv's archive, then Python's.
    void downloaded(const QString& bytes);
    // The interpreter when installed, the reason when failed.
    void finished(PythonInstall::Outcome outcome, const QString& pythonOrReason);

private:
    void onUvDownloaded(ToolDownload::Outcome outcome, const QString& reason);
    void onPythonInstalled(const RunResult& result);
    void onPythonFound(const RunResult& result);
    bool runUv(const QStringList& arguments, ChildProcess::Output output, int timeLimitMs,
               void (PythonInstall::*done)(const RunResult&));
    // Removes what the install made on a worker thread, then reports.
    void discard(Outcome outcome, const QString& reason);
    QStringList debris() const;

    Params m_params;
    QPointer<ToolDownload> m_uvDownload;
    QPointer<ChildProcess> m_child;
    QPointer<QThread> m_removal;
    DownloadTicker m_ticker;
    bool m_running = false;
    bool m_stopped = false;
};

}  // namespace demucs
