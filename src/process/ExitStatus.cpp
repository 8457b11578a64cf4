#include "process/ExitStatus.h"

#include <csignal>

int terminationStatus(const QProcess& process)
{
    const int code = process.exitCode();
    if (process.exitStatus() == QProcess::CrashExit)
        return code != 0 ? code : 255;
    return code;
}

QString signalName(int signal)
{
    static const struct {
        int number;
        const char* name;
    } names[] = {
        {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},
        {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},
        {SIGKILL, "SIGKILL"}, {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},
        {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"}, {SIGXCPU, "SIGXCPU"},
        {SIGXFSZ, "SIGXFSZ"}, {SIGSYS, "SIGSYS"},
    };
    for (const auto& entry : names) {
        if (entry.number == signal)
            return QString::fromLatin1(entry.name);
    }
    return {};
}

QString signalMessage(const QString& tool, int signal)
{
    const QString name = signalName(signal);
    QString message = QStringLiteral("%1 was stopped by signal %2").arg(tool).arg(signal);
    message += name.isEmpty() ? QStringLiteral(".") : QStringLiteral(" (%1).").arg(name);
    if (signal == SIGKILL)
        message += QStringLiteral(" The system may have run out of memory.");
    return message;
}
