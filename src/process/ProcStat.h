#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// The fields of /proc/PID/stat from field 3 (the state) on, so index 0 is the
// state and 2 the process group; empty when it cannot be read or off Linux.
QList<QByteArray> procStatFields(qint64 pid);
