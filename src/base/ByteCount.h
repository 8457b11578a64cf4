#pragma once

#include <QString>
#include <QtGlobal>

// A byte count the way the file-size style of macOS writes it: decimal
// units, "Zero KB", "532 bytes", "81 KB", "1.2 MB", "2.35 GB".
QString formatFileByteCount(qint64 bytes);
