#include "base/Version.h"

QString applicationVersion()
{
    return QStringLiteral(STEMLOFT_VERSION);
}
