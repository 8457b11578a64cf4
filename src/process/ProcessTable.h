#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <optional>

// What the system says about other processes: enough to tell a running
// process from one that ended but was not collected yet, to tell it from a
// later process that reuses its pid, and to find a group's members. Linux
// reads /proc, macOS asks sysctl; elsewhere nothing is known.
namespace processes {

struct ProcessInfo {
    qint64 pid = 0;
    qint64 parent = 0;
    qint64 group = 0;
    QByteArray name;        // the command's name, as the system shortens it
    bool ended = false;     // a zombie: ended, its parent has not collected it
    quint64 startTime = 0;  // in the system's own unit, for comparison only
};

std::optional<ProcessInfo> processInfo(qint64 pid);
// Every process the system lists; empty where it cannot list them.
QList<ProcessInfo> allProcesses();
// Whether pid names a process that has not ended (kill(pid, 0), then the
// zombie check where the system tells) and, given a start time other than 0
// that the system can check, started then: not a later one with its pid.
bool isRunning(qint64 pid, quint64 startTime = 0);

}  // namespace processes
