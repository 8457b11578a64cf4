#pragma once

#include <QString>

// The version the window's title, the log and --version show.
inline QString applicationVersion()
{
    return QStringLiteral("0.1.7-soundfile-backend");
}
