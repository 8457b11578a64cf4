#pragma once

#include "process/ChildOutput.h"
#include "process/ExitStatus.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <optional>

// How one run of a child ended. Exactly one per run.
struct RunResult {
    enum class Outcome {
        succeeded,      // exit code 0
        failed,         // exit code other than 0
        crashed,        // ended by a signal it did not get from stop()
        stopped,        // stop() was called before the child ended
        failedToStart,  // never ran; error says why
        timedOut,       // ran past its time limit and was stopped
    };
    Outcome outcome = Outcome::failedToStart;
    // The exit code, or the signal number of a crash (never 0 then).
    int status = -1;
    QString error;

    bool ok() const { return outcome == Outcome::succeeded; }
};

// The message for a run that did not succeed: signalMessage() for a crash,
// exitCodeMessage otherwise.
inline QString failureMessage(const RunResult& result, const QString& tool, const QString& exitCodeMessage)
{
    return result.outcome == RunResult::Outcome::crashed ? signalMessage(tool, result.status) : exitCodeMessage;
}

// One child process, owned by the job that runs it.
//
// The child starts in a process group of its own, so stop() reaches whatever
// it started in turn (pip's and Demucs's workers): SIGTERM to the group, then
// SIGKILL after the grace period. Standard input is /dev/null: a child in a
// background group that read the terminal would be stopped by the kernel.
// Nothing of the group outlives the run: leftovers of a child that exited are
// killed, and the destructor kills and reaps a child that still runs. Nor
// does it outlive the application: a watchdog process per run ends the group
// when the application dies without ending it (kill -9, a crash).
class ChildProcess : public QObject {
    Q_OBJECT
public:
    enum class Output {
        stream,      // both streams merged, emitted as text while the child runs
        capture,     // both streams merged, kept for capturedOutput()
        stdoutOnly,  // standard output kept, standard error discarded
        discard,
    };

    explicit ChildProcess(QObject* parent = nullptr);
    ~ChildProcess() override;

    void setProgram(const QString& program) { m_process.setProgram(program); }
    void setArguments(const QStringList& arguments) { m_process.setArguments(arguments); }
    // Without one the child inherits the application's environment.
    void setEnvironment(const QProcessEnvironment& environment);
    // Without one the child starts in the application's working directory.
    void setWorkingDirectory(const QString& folder) { m_process.setWorkingDirectory(folder); }
    void setOutput(Output output) { m_output = output; }
    // 0: no limit. A child past its limit is stopped; the outcome is timedOut.
    void setTimeLimit(int ms) { m_timeLimitMs = ms; }
    void setGracePeriod(int ms) { m_graceMs = ms; }
    // Number-crunching children (Demucs, encodes) run below the window, so
    // the window stays responsive while they take every core.
    void setLowPriority(bool low) { m_niceness = low ? lowPriorityNiceness : 0; }
    static constexpr int lowPriorityNiceness = 5;

    QString program() const { return m_process.program(); }
    QStringList arguments() const { return m_process.arguments(); }

    // Launches the child and returns whether it runs. A child that cannot be
    // started is reported here, at once, and finished() is never emitted.
    bool start();
    // Asks the whole group to end. The outcome becomes stopped, whatever the
    // child's exit status is. Does nothing when no child runs.
    void stop();

    bool isRunning() const { return m_running; }
    // Started and finished() not yet emitted (the leader may have ended while
    // what it started is given the rest of the grace period).
    bool isActive() const { return m_running || m_finishing; }
    // Kills the group at once and reaps the child, without emitting anything:
    // for owners that are going away.
    void killAndReap();
    // The child's process id, also after it ended (0 before a start).
    qint64 processId() const { return m_startedPid; }
    const RunResult& result() const { return m_result; }
    QByteArray capturedOutput() const { return m_captured; }

    static constexpr int defaultGraceMs = 3000;
    // Streamed output is held at most this long, or until this much is held.
    static constexpr int batchIntervalMs = 25;
    static constexpr qsizetype maxBatchChars = 256 * 1024;

signals:
    // Whole lines, in batches (see batchIntervalMs): separated by line breaks,
    // without one after the last. The rest always comes before finished().
    void output(const QString& text);
    // The line begun after the last line break, each time it changed, with
    // the next batch: not yet in output(), which gets it whole once it ends.
    // For progress read as it happens, never for the log.
    void unfinishedLine(const QString& text);
    void finished(const RunResult& result);

private:
    void readOutput();
    void flushOutput();
    void appendPending(QString text);
    void onProcessFinished();
    void signalGroup(int signal) const;
    bool groupHasMembers() const;
    void finish();
    // Tells the watchdog the run is over, so it leaves without a kill.
    void releaseWatchdog();

    QProcess m_process;
    OutputAssembler m_assembler;
    Output m_output = Output::stream;
    QByteArray m_captured;
    RunResult m_result;
    qint64 m_pid = 0;  // the group to signal; 0 once the group may be reused
    qint64 m_startedPid = 0;
    bool m_running = false;       // the leader has not been reaped
    bool m_finishing = false;     // the leader ended; finished() not yet emitted
    bool m_stopRequested = false;
    bool m_timedOut = false;
    int m_timeLimitMs = 0;
    int m_graceMs = defaultGraceMs;
    int m_niceness = 0;
    QTimer m_killTimer;
    QTimer m_limitTimer;
    QTimer m_groupPoll;
    QTimer m_batchTimer;
    QString m_pendingText;
    QString m_unfinishedSent;
    bool m_unfinishedChanged = false;
    int m_watchdogFd = -1;  // the write end of the watchdog's pipe
};
