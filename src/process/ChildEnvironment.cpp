#include "process/ChildEnvironment.h"

QProcessEnvironment childEnvironment(const QProcessEnvironment& appEnvironment,
                                     const QString& fixedToolSearchPath)
{
    QProcessEnvironment env = appEnvironment;
    QStringList parts;
    if (env.contains(QStringLiteral("PATH")))
        parts << env.value(QStringLiteral("PATH"));
    parts << fixedToolSearchPath;
    env.insert(QStringLiteral("PATH"), parts.join(QLatin1Char(':')));
    return env;
}
