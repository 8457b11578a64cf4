// What the timing executables share: a profile inside a temporary folder and
// a run measured with a heartbeat for the event loop's longest stall.
#pragma once

#include "base/PlatformProfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <vector>

namespace bench {

// Windows need no display unless one is asked for.
inline void offscreenUnlessSet()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// A stand-in tool: body written to path (folders made), executable by its owner.
inline void writeExecutable(const QString& path, const QByteArray& body)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(body);
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Every folder of the profile inside dir; the tools are the machine's.
inline PlatformProfile profileIn(const QTemporaryDir& dir)
{
    PlatformProfile p = PlatformProfile::current();
    p.homeDir = dir.path();
    p.appSupportBaseDir = dir.filePath(QStringLiteral("support"));
    p.downloadsDir = dir.path();
    p.tempDir = dir.path();
    p.settingsFile = dir.filePath(QStringLiteral("settings.ini"));
    return p;
}

struct Figures {
    double ms = 0;
    double longestStallMs = 0;
    bool complete = false;
};

// Runs work until done() holds, with a 1 ms heartbeat that records the
// longest time the event loop was busy elsewhere.
inline Figures measure(const std::function<void()>& start, const std::function<bool()>& done)
{
    QElapsedTimer beat;
    qint64 longest = 0;
    QTimer heartbeat;
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        longest = std::max(longest, beat.nsecsElapsed());
        beat.restart();
    });
    QElapsedTimer run;
    run.start();
    beat.start();
    heartbeat.start();
    start();
    while (!done())
        // Blocks until something happens, as the application's own loop does (the
        // overload with a time limit never waits: it would spin a core).
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    Figures f;
    f.ms = double(run.nsecsElapsed()) / 1e6;
    f.longestStallMs = double(longest) / 1e6;
    return f;
}

}  // namespace bench
