// How fast a chatty child's output reaches the log and how long the event
// loop is blocked meanwhile, for the download's path (yt-dlp's output, parsed
// for progress and the file) and the plain path of the other jobs, side by
// side in one run.
//
//   log_bench [lines] [runs]      (default 200000 lines of 100 bytes, 3 runs)
#include "support/AppSupport.h"
#include "bench_support.h"
#include "download/DownloadJob.h"
#include "process/ChildOutput.h"
#include "process/ChildProcess.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <functional>

using bench::Figures;
using bench::measure;

int main(int argc, char** argv)
{
    QApplication qapp(argc, argv);
    const int lines = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    QTemporaryDir dir;
    const PlatformProfile profile = bench::profileIn(dir);

    TestApp app(profile);
    app.applicationDidFinishLaunching();
    while (!(app.window->windowHandle() && app.window->windowHandle()->isExposed()))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);

    // 95 digits + "line" + newline = 100 bytes a line; a stand-in yt-dlp
    // prints them whatever its arguments.
    const QString script = QStringLiteral("awk 'BEGIN { for (i = 0; i < ") + QString::number(lines) +
                           QStringLiteral("; i++) printf \"line%095d\\n\", i }'");
    const QString fakeYtDlp = dir.filePath(QStringLiteral("yt-dlp"));
    {
        QFile f(fakeYtDlp);
        f.open(QIODevice::WriteOnly);
        f.write(("#!/bin/sh\n" + script + "\n").toUtf8());
        f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    auto logged = [&] { return app.logView->document()->blockCount(); };
    bool allComplete = true;
    std::printf("%d lines of 100 bytes\n", lines);
    std::printf("run  path       time (ms)  lines/s    longest stall (ms)  all lines logged\n");
    for (int r = 1; r <= runs; ++r) {
        // The download: a job whose output is parsed for progress and the file.
        app.clearLog();
        bool downloadDone = false;
        Figures download = measure(
            [&] {
                auto* job = new DownloadJob({fakeYtDlp, QStringLiteral("https://example.com/v"), dir.path(),
                                             app.tools().processEnvironment()});
                QObject::connect(job, &Job::finished, [&] { downloadDone = true; });
                app.runJob(job);
            },
            [&] { return downloadDone; });
        // "Using", "Saving to", "Starting...", the lines, "Done."
        download.complete = logged() == lines + 4;

        // The plain path: one child's output straight into the log.
        app.clearLog();
        bool plainDone = false;
        ChildProcess child;
        QObject::connect(&child, &ChildProcess::output, &app,
                         [&app](const QString& text) { app.appendLogEntries(splitOutputLines(text)); });
        QObject::connect(&child, &ChildProcess::finished, [&] { plainDone = true; });
        child.setProgram(QStringLiteral("/bin/sh"));
        child.setArguments({QStringLiteral("-c"), script});
        Figures plain = measure([&] { child.start(); }, [&] { return plainDone; });
        plain.complete = logged() == lines && child.result().ok();

        for (const auto& [name, f] : {std::pair{"download", download}, std::pair{"plain", plain}}) {
            std::printf("%-4d %-10s %9.0f  %9.0f  %18.1f  %s\n", r, name, f.ms, lines / (f.ms / 1000.0),
                        f.longestStallMs, f.complete ? "yes" : "NO");
            allComplete = allComplete && f.complete;
        }
    }
    return allComplete ? 0 : 1;
}
