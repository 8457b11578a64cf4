#pragma once

#include <QProcess>
#include <QString>

// Exit status as the rest of the program sees it: the exit code of a normal
// exit; for a child ended by a signal, the signal number (never 0).
int terminationStatus(const QProcess& process);

// "SIGKILL" for 9 and the other common signals; empty for one it does not know.
QString signalName(int signal);

// How a child ended by a signal is reported, so it is never read as an exit
// code: "TOOL was stopped by signal 15 (SIGTERM)." SIGKILL from anyone but
// us is almost always the kernel's out-of-memory killer, and says so.
QString signalMessage(const QString& tool, int signal);
