#pragma once

#include "base/PlatformProfile.h"
#include "separation/Leftovers.h"
#include "session/Settings.h"
#include "session/Toolbox.h"
#include "batch/BatchJob.h"
#include "cli/CommandLine.h"
#include "cli/Terminal.h"

#include <QObject>
#include <QPointer>
#include <QThread>

#include <functional>
#include <memory>

class QIODevice;

// The program without a window: the same jobs as the window's buttons,
// reporting to a terminal, and an exit status for scripts.
namespace cli {

constexpr int exitSucceeded = 0;
constexpr int exitFailed = 1;
constexpr int exitUsage = 2;

// Gets a yes or no for question; answer is called once.
using Asker = std::function<void(const QString& question, std::function<void(bool)> answer)>;

// Runs one parsed command; done() tells its exit status.
class Runner : public QObject {
    Q_OBJECT
public:
    Runner(Command command, PlatformProfile profile, Terminal& terminal, QObject* parent = nullptr);
    ~Runner() override;

    void start();
    // Ctrl+C, SIGTERM, or a reader of the output that went away (SIGPIPE):
    // the running job stops and cleans up as Stop does; the exit status
    // becomes 128 + signalNumber.
    void interrupt(int signalNumber);
    bool isDone() const { return m_done; }

    // Asks whether a broken Demucs environment may be deleted; without one
    // the answer is no (a script cannot be asked).
    Asker askRebuild;

signals:
    void done(int exitStatus);

private:
    void startBatch();
    void startInstallYtDlp();
    void startInstallDemucs();
    void startStatus();
    void startMix();
    // Ends before any job: the lines say why, on standard error (and per item in JSON).
    void refuse(const QStringList& lines);
    void run(Job* job);
    void onJobFinished(Job::Outcome outcome);
    void printResult(const BatchJob::Result& result);
    void finish(int exitStatus);
    QString resolvedFolder(const QString& path) const;
    // --to, else the stored folder, else the default (true: defaulted).
    std::pair<QString, bool> saveFolder() const;
    // What killed runs left is removed beside the command, as the window does at its start.
    void startSweep();
    void reportSweep();

    Command m_command;
    PlatformProfile m_profile;
    Terminal& m_terminal;
    Settings m_settings;
    Toolbox m_tools;
    QPointer<Job> m_job;
    QPointer<QObject> m_status;
    int m_signal = 0;
    bool m_done = false;
    std::unique_ptr<QThread> m_sweep;
    leftovers::Swept m_swept;  // written by the sweep, read once it is over
    bool m_sweepReported = false;
};

struct Io {
    QIODevice* out = nullptr;
    QIODevice* err = nullptr;
    bool drawProgress = false;  // standard error is a terminal
    int columns = 80;
    Asker askRebuild;
};

// Parses args (without the program's name) and runs them to the end: the
// exit status. started, when given, sees the runner before it starts (for
// the signal handlers, or a test that interrupts it).
int run(const QStringList& args, const PlatformProfile& profile, const Io& io,
        const std::function<void(Runner&)>& started = {});

// main() for any arguments: a QCoreApplication, no display needed.
int main(int argc, char** argv);

}  // namespace cli
