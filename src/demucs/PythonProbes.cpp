// Finding a system Python that can build the managed Demucs environment.
#include "demucs/PythonProbes.h"

#include "base/FileOps.h"
#include "demucs/DemucsContract.h"
#include "demucs/ManagedPython.h"

namespace {

// venv and ensurepip are what building the environment with pip relies on.
const QString usabilityProbe = QStringLiteral(
    "import sys, venv, ensurepip; sys.exit(0 if (3, 9) <= sys.version_info[:2] <= (3, 12) else 1)");
const QString versionQuery = QStringLiteral("import sys; print('.'.join(map(str, sys.version_info[:3])))");

}  // namespace

namespace demucs {

ChildProcess* startPythonRun(QObject* owner, const QString& python, const QString& script,
                             const QProcessEnvironment& environment, int timeLimitMs, ChildProcess::Output output,
                             std::function<void(const RunResult&, const QByteArray&)> done)
{
    auto* child = new ChildProcess(owner);
    child->setProgram(python);
    child->setArguments({QStringLiteral("-c"), script});
    child->setEnvironment(environment);
    child->setOutput(output);
    child->setTimeLimit(timeLimitMs);
    QObject::connect(child, &ChildProcess::finished, owner, [child, done](const RunResult& result) {
        child->deleteLater();
        done(result, child->capturedOutput());
    });
    if (!child->start()) {
        const RunResult result = child->result();
        delete child;
        done(result, {});
        return nullptr;
    }
    return child;
}

QString probeTimeoutMessage(const QString& what, int timeLimitMs)
{
    return QStringLiteral("%1 did not answer within %2 s.").arg(what).arg(timeLimitMs / 1000.0);
}

PythonFinder::PythonFinder(const PlatformProfile& profile, QProcessEnvironment environment, QString managedFolder,
                           QObject* parent)
    : QObject(parent), m_profile(profile), m_environment(std::move(environment)), m_managedFolder(std::move(managedFolder))
{
}

bool PythonFinder::isUsableCandidate(const QString& path) const
{
    return fileops::standardizedPath(path) != m_profile.excludedPython;
}

void PythonFinder::start()
{
    m_candidates = pythonCandidates(m_profile);
    if (!m_managedFolder.isEmpty())
        m_candidates << managedPythonCandidates(m_managedFolder);
    m_index = 0;
    m_seen.clear();
    m_stopped = false;
    next();
}

void PythonFinder::stop()
{
    m_stopped = true;
    if (m_current)
        m_current->stop();
}

void PythonFinder::next()
{
    if (m_stopped) {
        emit finished(std::nullopt, true);
        return;
    }
    while (m_index < m_candidates.size()) {
        const QString candidate = m_candidates.at(m_index++);
        // Recorded before the executable test: each file is examined once per search.
        const QString key = fileops::standardizedPath(candidate);
        if (m_seen.contains(key))
            continue;
        m_seen.insert(key);
        if (!fileops::isExecutableFile(key) || !isUsableCandidate(candidate))
            continue;
        m_current = startPythonRun(
            this, candidate, usabilityProbe, m_environment, m_profile.probeTimeLimitMs, ChildProcess::Output::discard,
            [this, candidate](const RunResult& result, const QByteArray&) {
                m_current = nullptr;
                if (m_stopped || result.outcome == RunResult::Outcome::stopped) {
                    emit finished(std::nullopt, true);
                    return;
                }
                if (result.ok()) {
                    emit finished(candidate, false);
                    return;
                }
                if (result.outcome == RunResult::Outcome::timedOut)
                    emit probeTimedOut(candidate);
                QMetaObject::invokeMethod(this, &PythonFinder::next, Qt::QueuedConnection);
            });
        return;  // the answer, queued, continues the search
    }
    emit finished(std::nullopt, m_stopped);
}

void PythonFinder::describeVersion(const QString& python, std::function<void(QString)> done)
{
    m_current = startPythonRun(this, python, versionQuery, m_environment, m_profile.probeTimeLimitMs,
                               ChildProcess::Output::stdoutOnly,
                               [this, done](const RunResult& result, const QByteArray& output) {
                                   m_current = nullptr;
                                   if (!result.ok()) {
                                       done(QString());
                                       return;
                                   }
                                   const QString text = decodeUtf8(output).value_or(QString()).trimmed();
                                   done(text.isEmpty() ? QString() : QStringLiteral(" (") + text + QLatin1Char(')'));
                               });
}

}  // namespace demucs
