#include "process/ChildProcess.h"
#include "base/FileOps.h"
#include "process/ProcessTable.h"
#include "process/ExitStatus.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

constexpr int groupPollMs = 20;

// Whether a member of the group still runs. kill() also reaches members that
// ended but wait for their new parent (init, which may take seconds) to reap
// them; those hold nothing and must not stretch a stop to the grace period.
// Where the system cannot list its processes, kill() alone answers.
bool groupHasLiveMember(qint64 group)
{
    const QList<processes::ProcessInfo> all = processes::allProcesses();
    if (all.isEmpty())
        return true;
    return std::any_of(all.cbegin(), all.cend(), [group](const processes::ProcessInfo& process) {
        return process.group == group && !process.ended;
    });
}

// A fork that is safe in the child of a fork, which is where a child-process
// modifier runs: on Linux QProcess forks with a shared address space, and
// fork() would run the application's fork handlers and take its locks there.
pid_t safeFork()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    return ::_Fork();
#else
    return ::fork();
#endif
}

void closeAllBut(int keep, int maxFd)
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if ((keep == 0 || ::close_range(0, unsigned(keep) - 1, 0) == 0) &&
        ::close_range(unsigned(keep) + 1, ~0U, 0) == 0)
        return;
#endif
    for (int fd = 0; fd < maxFd; ++fd) {
        if (fd != keep)
            ::close(fd);
    }
}

// The watchdog of one child's group, a process of its own: it waits on the
// read end of a pipe whose only write end the application holds. A byte
// means the run is over and it leaves; end-of-file means the application
// died (kill -9 included), and it ends the group the way stop() would, so
// nothing the child started lives on under init. It needs no /proc.
[[noreturn]] void watchGroup(pid_t group, int releaseFd, int maxFd)
{
    ::setpgid(0, 0);  // never a member of the group it watches: a stop must not wait for it
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // A "kill all stemloft" must not take away the one thing that cleans up after it.
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE})
        ::sigaction(signalNumber, &ignore, nullptr);
    // Nothing else held open: not the child's output pipes, not other runs' watchdog pipes.
    closeAllBut(releaseFd, maxFd);
    char byte = 0;
    ssize_t n = 0;
    do {
        n = ::read(releaseFd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1)
        ::_exit(0);
    ::kill(-group, SIGTERM);
    const timespec pause{0, 20 * 1000 * 1000};
    for (int i = 0; i < 50 && ::kill(-group, 0) == 0; ++i)
        ::nanosleep(&pause, nullptr);
    ::kill(-group, SIGKILL);
    ::_exit(0);
}

// Called in the child before exec. The watchdog is forked twice over, so it
// is no child of the program about to run (a program that waits for all its
// children would wait for it), and it is in its own group before exec.
void startWatchdog(int releaseFd, int maxFd)
{
    const pid_t group = ::getpid();
    const pid_t middle = safeFork();
    if (middle == 0) {
        const pid_t watchdog = safeFork();
        if (watchdog == 0)
            watchGroup(group, releaseFd, maxFd);
        if (watchdog > 0)
            ::setpgid(watchdog, watchdog);
        ::_exit(0);
    }
    if (middle > 0) {
        int status = 0;
        while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

// Writes the release byte. A watchdog someone killed leaves no reader: the
// write then fails, and its SIGPIPE must not end the application.
void writeRelease(int fd)
{
    sigset_t pipeSignal;
    sigset_t previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    const char byte = 'r';
    ssize_t n = 0;
    do {
        n = ::write(fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EPIPE && !sigismember(&previous, SIGPIPE)) {
        sigset_t pending;
        int signalNumber = 0;
        if (::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE))
            ::sigwait(&pipeSignal, &signalNumber);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

ChildProcess::ChildProcess(QObject* parent) : QObject(parent)
{
    m_killTimer.setSingleShot(true);
    m_limitTimer.setSingleShot(true);
    m_groupPoll.setInterval(groupPollMs);
    m_batchTimer.setSingleShot(true);
    m_batchTimer.setInterval(batchIntervalMs);
    connect(&m_batchTimer, &QTimer::timeout, this, &ChildProcess::flushOutput);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &ChildProcess::readOutput);
    connect(&m_process, &QProcess::finished, this, &ChildProcess::onProcessFinished);
    connect(&m_killTimer, &QTimer::timeout, this, [this] {
        signalGroup(SIGKILL);
        if (m_finishing)
            finish();  // only leftovers were waited for; they are gone now
    });
    connect(&m_limitTimer, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        stop();
    });
    connect(&m_groupPoll, &QTimer::timeout, this, [this] {
        if (!groupHasMembers())
            finish();
    });
}

ChildProcess::~ChildProcess()
{
    killAndReap();
}

void ChildProcess::killAndReap()
{
    m_process.disconnect(this);
    disconnect(this, &ChildProcess::finished, nullptr, nullptr);
    disconnect(this, &ChildProcess::output, nullptr, nullptr);
    disconnect(this, &ChildProcess::unfinishedLine, nullptr, nullptr);
    m_killTimer.stop();
    m_limitTimer.stop();
    m_groupPoll.stop();
    m_batchTimer.stop();
    if (m_running) {
        signalGroup(SIGKILL);
        m_process.waitForFinished(5000);
    } else if (m_finishing) {
        signalGroup(SIGKILL);
    }
    m_running = false;
    m_finishing = false;
    m_pid = 0;
    releaseWatchdog();
}

void ChildProcess::setEnvironment(const QProcessEnvironment& environment)
{
    m_process.setProcessEnvironment(environment);
}

bool ChildProcess::start()
{
    m_result = RunResult{};
    m_captured.clear();
    m_unfinishedSent.clear();
    m_unfinishedChanged = false;
    m_stopRequested = false;
    m_timedOut = false;
    m_process.setStandardInputFile(QProcess::nullDevice());
    switch (m_output) {
    case Output::stream:
    case Output::capture:
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        break;
    case Output::stdoutOnly:
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        break;
    case Output::discard:
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        break;
    }
    const int niceness = m_niceness;
    releaseWatchdog();  // a start without an end between: that run is over
    int release[2] = {-1, -1};
    if (!fileops::openPipe(release))
        release[0] = release[1] = -1;  // the run goes without a watchdog
    const int releaseFd = release[0];
    const int maxFd = int(std::min<long>(::sysconf(_SC_OPEN_MAX), 1 << 20));
    m_process.setChildProcessModifier([niceness, releaseFd, maxFd] {
        ::setpgid(0, 0);
        if (releaseFd >= 0)
            startWatchdog(releaseFd, maxFd);
        // The command line ignores SIGPIPE, and exec keeps an ignored signal.
        struct sigaction defaultAction {};
        defaultAction.sa_handler = SIG_DFL;
        sigemptyset(&defaultAction.sa_mask);
        ::sigaction(SIGPIPE, &defaultAction, nullptr);
        if (niceness > 0)
            ::setpriority(PRIO_PROCESS, 0, niceness);
#ifdef Q_OS_LINUX
        // Should the application itself be killed, its direct child is told.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    });
    m_process.start();
    const bool started = m_process.waitForStarted(-1);
    m_watchdogFd = release[1];
    if (!started)
        releaseWatchdog();  // while the read end is still open here: the byte always fits
    if (release[0] >= 0)
        ::close(release[0]);
    if (!started) {
        m_result.outcome = RunResult::Outcome::failedToStart;
        m_result.error = m_process.errorString();
        return false;
    }
    m_pid = m_process.processId();
    m_startedPid = m_pid;
    m_running = true;
    if (m_timeLimitMs > 0)
        m_limitTimer.start(m_timeLimitMs);
    return true;
}

void ChildProcess::stop()
{
    if (!m_running && !m_finishing)
        return;
    if (m_stopRequested)
        return;
    m_stopRequested = true;
    signalGroup(SIGTERM);
    m_killTimer.start(m_graceMs);
}

void ChildProcess::signalGroup(int signal) const
{
    if (m_pid <= 0)
        return;
    if (::kill(-pid_t(m_pid), signal) != 0 && m_running)
        ::kill(pid_t(m_pid), signal);  // not a group leader after all
}

bool ChildProcess::groupHasMembers() const
{
    if (m_pid <= 0 || (::kill(-pid_t(m_pid), 0) != 0 && errno != EPERM))
        return false;
    return groupHasLiveMember(m_pid);
}

void ChildProcess::readOutput()
{
    if (m_output == Output::discard)
        return;  // standard output goes to the null device: nothing to read
    const QByteArray bytes = m_process.readAllStandardOutput();
    if (bytes.isEmpty())
        return;
    if (m_output != Output::stream) {
        m_captured += bytes;
        return;
    }
    appendPending(m_assembler.feed(bytes));
    if (const QString& unfinished = m_assembler.unfinished(); !unfinished.isEmpty() && unfinished != m_unfinishedSent)
        m_unfinishedChanged = true;
    // Output is passed on in batches: whoever shows it (a log view) pays per
    // call, so a chatty child must not cost one call per read of the pipe.
    if (m_pendingText.size() >= maxBatchChars)
        flushOutput();
    else if ((!m_pendingText.isEmpty() || m_unfinishedChanged) && !m_batchTimer.isActive())
        m_batchTimer.start();
}

void ChildProcess::appendPending(QString text)
{
    // The line break after the last line goes in place: a line of megabytes
    // then reaches the log without one copy of it being made.
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(text.endsWith(QLatin1String("\r\n")) ? 2 : 1);
    else if (text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    if (text.isEmpty())
        return;
    if (!m_pendingText.isEmpty())
        m_pendingText += QLatin1Char('\n');
    m_pendingText += text;
}

void ChildProcess::flushOutput()
{
    m_batchTimer.stop();
    if (!m_pendingText.isEmpty()) {
        const QString text = std::exchange(m_pendingText, QString());
        emit output(text);
    }
    if (std::exchange(m_unfinishedChanged, false) && m_running) {
        m_unfinishedSent = m_assembler.unfinished();
        if (!m_unfinishedSent.isEmpty())
            emit unfinishedLine(m_unfinishedSent);
    }
}

void ChildProcess::onProcessFinished()
{
    readOutput();
    if (m_output == Output::stream) {
        appendPending(m_assembler.finish());
        flushOutput();
    }
    m_running = false;
    m_finishing = true;
    m_limitTimer.stop();

    m_result.status = terminationStatus(m_process);
    if (m_timedOut)
        m_result.outcome = RunResult::Outcome::timedOut;
    else if (m_stopRequested)
        m_result.outcome = RunResult::Outcome::stopped;
    else if (m_process.exitStatus() == QProcess::CrashExit)
        m_result.outcome = RunResult::Outcome::crashed;
    else
        m_result.outcome = m_result.status == 0 ? RunResult::Outcome::succeeded : RunResult::Outcome::failed;

    if (!groupHasMembers()) {
        finish();
    } else if (m_stopRequested) {
        // Give what the child started the rest of the grace period.
        m_groupPoll.start();
    } else {
        // The child is done; whatever it left running in its group is not wanted.
        signalGroup(SIGKILL);
        finish();
    }
}

void ChildProcess::finish()
{
    if (!m_finishing)
        return;
    m_finishing = false;
    m_killTimer.stop();
    m_groupPoll.stop();
    m_pid = 0;  // the group id may be reused from here on
    releaseWatchdog();
    emit finished(m_result);
}

void ChildProcess::releaseWatchdog()
{
    if (m_watchdogFd < 0)
        return;
    writeRelease(m_watchdogFd);
    ::close(m_watchdogFd);
    m_watchdogFd = -1;
}
