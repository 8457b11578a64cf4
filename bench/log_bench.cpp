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
    // 95 digits + "line" + newline = 100 bytes a line.
    const QString script = QStringLiteral("awk 'BEGIN { for (i = 0; i < ") + QString::number(lines) +
                           QStringLiteral("; i++) printf \"line%095d\\n\", i }'");
    bool done = false;
    qint64 longestSinkNs = 0;
    qsizetype largestChunk = 0;
    int chunks = 0;
    qint64 totalChars = 0;
    int status = -1;
    QElapsedTimer run;
    ProcessRun* child = app.makeLongRun(
        QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script},
        [&](AppDelegate& self, const QString& text) {
            QElapsedTimer t;
            t.start();
            self.appendProcessOutput(text);
            longestSinkNs = std::max(longestSinkNs, t.nsecsElapsed());
            largestChunk = std::max<qsizetype>(largestChunk, text.size());
            ++chunks;
            totalChars += text.size();
        },
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
    std::printf("characters: %lld\n", static_cast<long long>(totalChars));
    std::printf("chunks: %d, largest %lld characters, longest sink call %.1f ms\n", chunks,
                static_cast<long long>(largestChunk), double(longestSinkNs) / 1e6);
    const bool complete = logged == lines && status == 0 && totalChars == qint64(lines) * 100;
    return complete ? 0 : 1;
}
