// Finding a system Python that can build the managed Demucs environment.
#include "app/AppDelegate.h"
#include "app/FileOps.h"
#include "demucs/DemucsContract.h"
#include "process/ProcessRunner.h"

#include <QSet>

namespace {

const QStringList& pythonVersions()
{
    static const QStringList versions = {QStringLiteral("3.12"), QStringLiteral("3.11"),
                                         QStringLiteral("3.10"), QStringLiteral("3.9")};
    return versions;
}

const QStringList& pathInterpreterNames()
{
    static const QStringList names = {QStringLiteral("python3.12"), QStringLiteral("python3.11"),
                                      QStringLiteral("python3.10"), QStringLiteral("python3.9"),
                                      QStringLiteral("python3")};
    return names;
}

// venv and ensurepip are what building the environment with pip relies on.
const QString usabilityProbe = QStringLiteral(
    "import sys, venv, ensurepip; sys.exit(0 if (3, 9) <= sys.version_info[:2] <= (3, 12) else 1)");
const QString versionQuery = QStringLiteral("import sys; print('.'.join(map(str, sys.version_info[:3])))");

}  // namespace

QStringList demucs::pythonCandidates(const PlatformProfile& profile)
{
    QStringList candidates;
    for (const QString& prefix : profile.pythonPrefixes) {
        for (const QString& version : pythonVersions()) {
            const QString keg = prefix + QStringLiteral("/opt/python@") + version + QStringLiteral("/bin/");
            candidates << keg + QStringLiteral("python") + version << keg + QStringLiteral("python3")
                       << prefix + QStringLiteral("/bin/python") + version;
        }
        candidates << prefix + QStringLiteral("/bin/python3");
    }
    if (!profile.pythonFrameworkVersions.isEmpty()) {
        for (const QString& version : pythonVersions())
            candidates << profile.pythonFrameworkVersions + QLatin1Char('/') + version + QStringLiteral("/bin/python3");
        candidates << profile.pythonFrameworkVersions + QStringLiteral("/Current/bin/python3");
    }
    // The application's own PATH, not the extended one children get.
    const QStringList entries =
        profile.appEnvironment.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& entry : entries) {
        const QString dir = fileops::fileURLPath(entry);
        for (const QString& name : pathInterpreterNames())
            candidates << fileops::appendingComponent(dir, name);
    }
    return candidates;
}

std::optional<QString> AppDelegate::findSystemPython3() const
{
    QSet<QString> seen;
    for (const QString& candidate : demucs::pythonCandidates(m_profile)) {
        // Recorded before the executable test: each file is examined once per search.
        const QString key = fileops::standardizedPath(candidate);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        if (!fileops::isExecutableFile(key))
            continue;
        if (isUsablePythonForDemucs(candidate))
            return candidate;
    }
    return std::nullopt;
}

bool AppDelegate::isUsablePythonForDemucs(const QString& path) const
{
    if (fileops::standardizedPath(path) == m_profile.excludedPython)
        return false;
    SyncRunOptions options;
    options.environment = processEnvironment();
    options.output = SyncRunOptions::Output::discard;
    const SyncRunResult result = runSync(path, {QStringLiteral("-c"), usabilityProbe}, options);
    return result.launched && result.status == 0;
}

QString AppDelegate::pythonVersionDescription(const QString& path) const
{
    SyncRunOptions options;
    options.environment = processEnvironment();
    options.output = SyncRunOptions::Output::stdoutOnly;
    const SyncRunResult result = runSync(path, {QStringLiteral("-c"), versionQuery}, options);
    if (!result.launched || result.status != 0)
        return QString();
    const QString text = decodeUtf8(result.output).value_or(QString()).trimmed();
    if (text.isEmpty())
        return QString();
    return QStringLiteral(" (") + text + QLatin1Char(')');
}
