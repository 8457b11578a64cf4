#pragma once

#include "base/PlatformProfile.h"
#include "jobs/Job.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>

// A temporary folder that holds everything one test touches: home, support
// folder, settings, fake tools.
class TempWorkspace {
public:
    TempWorkspace();
    QString root() const { return m_dir.path(); }
    QString path(const QString& relative) const;
    QString makeDir(const QString& relative) const;
    QString writeFile(const QString& relative, const QByteArray& contents) const;
    // A shell script with the given body after "#!/bin/sh", mode 755.
    QString writeScript(const QString& relative, const QString& body) const;
    QByteArray readFile(const QString& relative) const;

private:
    QTemporaryDir m_dir;
};

// A profile whose every folder and tool lies inside the workspace. Tools do not
// exist until a test writes them; PATH is only what the test sets.
PlatformProfile makeTestProfile(const TempWorkspace& ws);

// Runs the event loop until pred holds or the time is up; returns pred().
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 15000);
// Runs the event loop for a while.
void pumpEvents(int ms);

// A job that runs until it is stopped: it keeps the controller busy.
class HoldJob : public Job {
public:
    void start() override {}
    void stop() override { finishWith(Outcome::stopped); }
};

// Whether a process with this id is still alive (a zombie counts as ended).
bool processAlive(qint64 pid);
// The process ids of the children of pid (from /proc).
QList<qint64> childProcesses(qint64 pid);

// A synchronous run of a short child, for tests that check a command's effect.
struct SyncRunResult {
    bool launched = false;
    QString launchError;
    int status = -1;
    QByteArray output;  // both streams
};
SyncRunResult runSync(const QString& program, const QStringList& arguments,
                      const std::optional<QProcessEnvironment>& environment = std::nullopt);

// Arguments recorded by a fake tool written with recordArgsScript, one per line.
QStringList readRecordedArgs(const QString& file);
// Shell lines that append each argument of the script to file, one per line.
QString recordArgsLines(const QString& file);
// Single-quotes text for a shell script.
QString shellQuote(const QString& text);

// python3's static file server on 127.0.0.1 and a free port, for the real
// tools; stopped with the test. Proxies are no way to reach it.
class LocalServer {
public:
    explicit LocalServer(const QString& root);
    ~LocalServer();
    // The port from the server's first line, or 0 when it did not start.
    int port();
    QString url(const QString& path);
    static void removeProxies(QProcessEnvironment& environment);

private:
    QProcess m_process;
    int m_port = 0;
};

// A uv release as Astral publishes it, in folder: "uv-TARGET.tar.gz" holding
// "uv-TARGET/uv" (uvScript after "#!/bin/sh") and "uv-TARGET/uvx", and the
// sha256sum line beside it in "uv-TARGET.tar.gz.sha256". Returns the archive.
QString writeUvRelease(const QString& folder, const QString& target, const QString& uvScript);
// The body of a uv that appends "ARGS | UV_NO_CONFIG UV_PYTHON_INSTALL_DIR
// UV_INDEX" to runsFile for each run, then on "python install" runs
// installStep, puts python in the install folder (a link when link is set,
// else a copy) as cpython-3.12.4-…/bin/python3.12, and on "python find"
// prints where it is.
QString fakeUvScript(const QString& python, const QString& runsFile, const QString& installStep = {},
                     bool link = false);

// Permission bits of a file (0 when it cannot be read).
unsigned modeOf(const QString& path);

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}
