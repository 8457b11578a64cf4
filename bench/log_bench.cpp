// How fast a chatty child's output reaches the log, how long the event loop
// is blocked meanwhile, and how long the window takes to appear.
//
//   log_bench [lines]      (default 200000 lines of 100 bytes)
#include "app/AppDelegate.h"
#include "process/ProcessRunner.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>

int main(int argc, char** argv)
{
    QElapsedTimer sinceStart;
    sinceStart.start();
    QApplication qapp(argc, argv);
    const int lines = argc > 1 ? std::atoi(argv[1]) : 200000;

    QTemporaryDir dir;
    PlatformProfile profile = PlatformProfile::current();
    profile.homeDir = dir.path();
    profile.appSupportBaseDir = dir.filePath(QStringLiteral("support"));
    profile.downloadsDir = dir.path();
    profile.settingsFile = dir.filePath(QStringLiteral("settings.ini"));

    AppDelegate app(profile);
    app.applicationDidFinishLaunching();
    while (!(app.window->windowHandle() && app.window->windowHandle()->isExposed()))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::processEvents();
    const double startupMs = double(sinceStart.nsecsElapsed()) / 1e6;

    // A heartbeat that notices how long the event loop was busy elsewhere.
    QElapsedTimer beat;
    qint64 longestStallNs = 0;
    QTimer heartbeat;
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        longestStallNs = std::max(longestStallNs, beat.nsecsElapsed());
        beat.restart();
    });

    app.clearLog();
    const QString script = QStringLiteral("awk 'BEGIN { for (i = 0; i < %1; i++) printf \"line %%093d\\n\", i }'").arg(lines);
    bool done = false;
    int status = -1;
    QElapsedTimer run;
    ProcessRun* child = app.makeLongRun(
        QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script},
        [](AppDelegate& self, const QString& text) { self.appendProcessOutput(text); },
        [&](AppDelegate*, int s) {
            status = s;
            done = true;
        });
    run.start();
    beat.start();
    heartbeat.start();
    QString error;
    if (!child->launch(&error)) {
        std::fprintf(stderr, "launch failed: %s\n", qPrintable(error));
        return 1;
    }
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    const double runMs = double(run.nsecsElapsed()) / 1e6;
    heartbeat.stop();

    const int logged = app.logView->document()->blockCount();
    std::printf("start-up to shown window: %.1f ms\n", startupMs);
    std::printf("lines: %d logged: %d status: %d\n", lines, logged, status);
    std::printf("time: %.1f ms  (%.0f lines/s)\n", runMs, lines / (runMs / 1000.0));
    std::printf("longest event-loop stall: %.1f ms\n", double(longestStallNs) / 1e6);
    return logged == lines && status == 0 ? 0 : 1;
}
