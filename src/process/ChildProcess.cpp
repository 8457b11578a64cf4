#include "process/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef Q_OS_LINUX
#include <QDir>

#include <sys/prctl.h>
#endif

namespace {

constexpr int groupPollMs = 20;

#ifdef Q_OS_LINUX
// Whether a member of the group still runs. kill() also reaches members that
// ended but wait for their new parent (init, which may take seconds) to reap
// them; those hold nothing and must not stretch a stop to the grace period.
bool groupHasLiveMember(qint64 group)
{
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isNumber = false;
        const qint64 pid = entry.toLongLong(&isNumber);
        if (!isNumber)
            continue;
        const QList<QByteArray> fields = procStatFields(pid);
        if (fields.size() < 3 || fields.at(2).toLongLong() != group)
            continue;
        if (fields.at(0) != "Z" && fields.at(0) != "X")
            return true;
    }
    return false;
}
#endif

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
}

void ChildProcess::setEnvironment(const QProcessEnvironment& environment)
{
    m_process.setProcessEnvironment(environment);
}

bool ChildProcess::start()
{
    m_result = RunResult{};
    m_captured.clear();
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
    m_process.setChildProcessModifier([niceness] {
        ::setpgid(0, 0);
        if (niceness > 0)
            ::setpriority(PRIO_PROCESS, 0, niceness);
#ifdef Q_OS_LINUX
        // Should the application itself be killed, its direct child is told.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    });
    m_process.start();
    if (!m_process.waitForStarted(-1)) {
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
#ifdef Q_OS_LINUX
    return groupHasLiveMember(m_pid);
#else
    return true;
#endif
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
    // Output is passed on in batches: whoever shows it (a log view) pays per
    // call, so a chatty child must not cost one call per read of the pipe.
    if (m_pendingText.size() >= maxBatchChars)
        flushOutput();
    else if (!m_pendingText.isEmpty() && !m_batchTimer.isActive())
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
    if (m_pendingText.isEmpty())
        return;
    const QString text = std::exchange(m_pendingText, QString());
    emit output(text);
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
    emit finished(m_result);
}
