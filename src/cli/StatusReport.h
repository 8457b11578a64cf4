#pragma once

#include "session/Toolbox.h"
#include "demucs/DemucsEnvironment.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>

namespace demucs {
class PythonFinder;
}

// The status command: which tools were found where, their versions, and
// whether the Demucs environment passes its check. Everything is asked at
// once, each child with a time limit.
namespace cli {

// The version in a tool's first line of output: its first word that starts
// with a digit ("ffmpeg version 5.1.6-0+deb12u1 ..." gives "5.1.6-0+deb12u1"),
// else the whole line.
QString versionFromOutput(const QByteArray& output);

class StatusReport : public QObject {
    Q_OBJECT
public:
    struct Tool {
        QString name;
        QString path;     // empty: not found
        QString version;  // empty: it gave none
        bool ownCopy = false;  // a Python that Stemloft installed
    };
    struct Environment {
        QString folder;
        bool installed = false;
        demucs::ProbeAnswer answer;
    };

    explicit StatusReport(const Toolbox& tools, QObject* parent = nullptr);
    ~StatusReport() override;

    void start();

    QStringList lines() const;
    QJsonObject json() const;

signals:
    void finished();

private:
    void queryVersion(int index);
    void oneDone();

    const Toolbox& m_tools;
    QList<Tool> m_found;
    Environment m_environment;
    QString m_saveFolder;
    QString m_managedPythonFolder;
    QList<QPointer<QObject>> m_children;
    int m_pending = 0;
};

}  // namespace cli
