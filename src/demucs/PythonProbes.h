#pragma once

// Short Python runs in the background, and the search for a system Python (PythonFinder).

#include "base/PlatformProfile.h"
#include "process/ChildProcess.h"

#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

namespace demucs {

// A short Python run ("python -c script") in the background, bounded by the
// profile's probe time limit. The child belongs to owner; done is called once
// (at once when the interpreter cannot be started). Returns the child so its
// owner can stop it.
ChildProcess* startPythonRun(QObject* owner, const QString& python, const QString& script,
                             const QProcessEnvironment& environment, int timeLimitMs, ChildProcess::Output output,
                             std::function<void(const RunResult&, const QByteArray&)> done);

// The log line of a probe that ran out of time.
QString probeTimeoutMessage(const QString& what, int timeLimitMs);

// Looks for a Python 3.9 to 3.12 with venv and ensurepip, one candidate
// after the other, each file once: the system's first (pythonCandidates'
// order), then those Stemloft installed in managedFolder.
class PythonFinder : public QObject {
    Q_OBJECT
public:
    PythonFinder(const PlatformProfile& profile, QProcessEnvironment environment, QString managedFolder = {},
                 QObject* parent = nullptr);

    void start();
    void stop();
    // Runs the version query ("3.12.4") of a found interpreter: " (3.12.4)",
    // or empty text when it gives nothing usable.
    void describeVersion(const QString& python, std::function<void(QString)> done);

    bool isUsableCandidate(const QString& path) const;

signals:
    // A candidate's probe ran out of time (it counts as unusable).
    void probeTimedOut(const QString& candidate);
    // The first usable interpreter, spelled as built, or nothing.
    void finished(const std::optional<QString>& python, bool stopped);

private:
    void next();

    const PlatformProfile& m_profile;
    QProcessEnvironment m_environment;
    QString m_managedFolder;
    QStringList m_candidates;
    qsizetype m_index = 0;
    QSet<QString> m_seen;
    ChildProcess* m_current = nullptr;
    bool m_stopped = false;
};

}  // namespace demucs
