#include "process/ProcStat.h"

#include <QFile>

QList<QByteArray> procStatFields(qint64 pid)
{
#ifdef Q_OS_LINUX
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    // The command name may itself hold spaces and ')', so only the last ')' ends it.
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return {};
    return text.mid(close + 1).simplified().split(' ');
#else
    Q_UNUSED(pid);
    return {};
#endif
}
