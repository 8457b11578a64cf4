#include "process/ProcessTable.h"

#include <cerrno>
#include <limits>
#include <signal.h>
#include <sys/types.h>

#if defined(Q_OS_LINUX)
#include <QDir>
#include <QFile>
#elif defined(Q_OS_MACOS)
#include <sys/proc.h>
#include <sys/sysctl.h>
#endif

namespace processes {

namespace {

#if defined(Q_OS_LINUX)
// /proc/PID/stat: "pid (comm) state ppid pgrp ... starttime(22) ...".
std::optional<ProcessInfo> fromProcStat(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = file.readAll();
    // The command's name may itself hold spaces and ')', so only the last ')' ends it.
    const qsizetype open = text.indexOf('(');
    const qsizetype close = text.lastIndexOf(')');
    if (open < 0 || close < open)
        return std::nullopt;
    const QList<QByteArray> fields = text.mid(close + 1).simplified().split(' ');
    constexpr qsizetype startTimeIndex = 22 - 3;  // fields counted from the state, field 3
    if (fields.size() <= startTimeIndex)
        return std::nullopt;
    ProcessInfo info;
    info.pid = pid;
    info.name = text.mid(open + 1, close - open - 1);
    info.ended = fields.at(0) == "Z" || fields.at(0) == "X";
    info.parent = fields.at(1).toLongLong();
    info.group = fields.at(2).toLongLong();
    info.startTime = fields.at(startTimeIndex).toULongLong();
    return info;
}
#elif defined(Q_OS_MACOS)
ProcessInfo fromKinfo(const kinfo_proc& kp)
{
    ProcessInfo info;
    info.pid = kp.kp_proc.p_pid;
    info.name = QByteArray(kp.kp_proc.p_comm);
    info.ended = kp.kp_proc.p_stat == SZOMB;
    info.parent = kp.kp_eproc.e_ppid;
    info.group = kp.kp_eproc.e_pgid;
    const timeval start = kp.kp_proc.p_starttime;
    info.startTime = quint64(start.tv_sec) * 1000000 + quint64(start.tv_usec);
    return info;
}
#endif

}  // namespace

std::optional<ProcessInfo> processInfo(qint64 pid)
{
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return std::nullopt;
#if defined(Q_OS_LINUX)
    return fromProcStat(pid);
#elif defined(Q_OS_MACOS)
    int request[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, int(pid)};
    kinfo_proc kp{};
    size_t size = sizeof kp;
    // A pid without a process answers with nothing rather than an error.
    if (::sysctl(request, 4, &kp, &size, nullptr, 0) != 0 || size == 0)
        return std::nullopt;
    return fromKinfo(kp);
#else
    return std::nullopt;
#endif
}

QList<ProcessInfo> allProcesses()
{
    QList<ProcessInfo> all;
#if defined(Q_OS_LINUX)
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isNumber = false;
        const qint64 pid = entry.toLongLong(&isNumber);
        if (!isNumber)
            continue;
        if (const std::optional<ProcessInfo> info = fromProcStat(pid))
            all << *info;
    }
#elif defined(Q_OS_MACOS)
    int request[] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL, 0};
    // The table grows between the size query and the read: ask again with room to spare.
    for (int attempt = 0; attempt < 5; ++attempt) {
        size_t size = 0;
        if (::sysctl(request, 4, nullptr, &size, nullptr, 0) != 0)
            return all;
        QList<kinfo_proc> table(qsizetype(size / sizeof(kinfo_proc)) + 16);
        size = size_t(table.size()) * sizeof(kinfo_proc);
        if (::sysctl(request, 4, table.data(), &size, nullptr, 0) == 0) {
            table.resize(qsizetype(size / sizeof(kinfo_proc)));
            for (const kinfo_proc& kp : table)
                all << fromKinfo(kp);
            return all;
        }
        if (errno != ENOMEM)
            return all;
    }
#endif
    return all;
}

bool isRunning(qint64 pid, quint64 startTime)
{
    // kill() takes 0 and negative pids as whole process groups, which always answer.
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    const std::optional<ProcessInfo> info = processInfo(pid);
    return !info || (!info->ended && (startTime == 0 || info->startTime == startTime));
}

}  // namespace processes
