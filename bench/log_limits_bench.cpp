// The log's limits: one line of megabytes, and millions of lines, from a
// child through the download job (which reads every whole line for the file)
// into the window's log, with the event loop's longest stall and the
// process's peak memory.
//
//   log_limits_bench long [megabytes]   one line (default 10 MB), then the same bytes as 100-byte lines
//   log_limits_bench many [lines]       that many 100-byte lines (default 2,000,000)
//
// Run each in its own process: the peak memory is the process's.
#include "support/AppSupport.h"
#include "bench_support.h"
#include "download/DownloadJob.h"
#include "base/Allocation.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

namespace {

// The kernel's record of the process's peak resident memory, in MB.
double peakResidentMB()
{
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        return -1;
#ifdef Q_OS_MACOS
    return double(usage.ru_maxrss) / (1024.0 * 1024.0);  // bytes there
#else
    return double(usage.ru_maxrss) / 1024.0;  // kilobytes
#endif
}

bench::Figures runDownload(TestApp& app, const QString& tool, const QString& folder)
{
    // Emptying a view of the previous run's many lines is no part of this one.
    app.clearLog();
    bool done = false;
    return bench::measure(
        [&] {
            auto* job = new DownloadJob({tool, QStringLiteral("https://example.com/v"), folder, app.tools().processEnvironment()});
            QObject::connect(job, &Job::finished, [&] { done = true; });
            app.runJob(job);
        },
        [&] { return done; });
}

QString writeTool(const QTemporaryDir& dir, const QString& name, const QString& body)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(("#!/bin/sh\n" + body + "\n").toUtf8());
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

QString awkLines(long long lines)
{
    return QStringLiteral("awk 'BEGIN { for (i = 0; i < %1; i++) printf \"line%095d\\n\", i }'").arg(lines);
}

}  // namespace

int main(int argc, char** argv)
{
    keepLargeAllocationsMapped();  // as the application does
    QApplication qapp(argc, argv);
    const bool longLine = argc > 1 && std::strcmp(argv[1], "long") == 0;
    const bool many = argc > 1 && std::strcmp(argv[1], "many") == 0;
    if (!longLine && !many) {
        std::fprintf(stderr, "usage: log_limits_bench long [megabytes] | many [lines]\n");
        return 2;
    }

    QTemporaryDir dir;
    TestApp app(bench::profileIn(dir));
    app.applicationDidFinishLaunching();
    while (!(app.window->windowHandle() && app.window->windowHandle()->isExposed()))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const QString folder = dir.filePath(QStringLiteral("Music"));
    QDir().mkpath(folder);
    QTextDocument* log = app.logView->document();

    bool ok = true;
    if (longLine) {
        const long long bytes = (argc > 2 ? std::atoll(argv[2]) : 10) * 1000 * 1000;
        const QString oneLine = writeTool(dir, QStringLiteral("one-line"),
            QStringLiteral("head -c %1 /dev/zero | tr '\\0' x; echo").arg(bytes));
        const QString asLines = writeTool(dir, QStringLiteral("as-lines"), awkLines(bytes / 100));
        std::printf("%lld bytes from a child, through the download job into the log\n", bytes);
        std::printf("output          time (ms)  longest stall (ms)  entries in the view\n");
        for (int r = 0; r < 3; ++r) {
            const bench::Figures one = runDownload(app, oneLine, folder);
            const int oneEntries = log->blockCount();
            ok = ok && log->findBlockByNumber(3).text().endsWith(QStringLiteral(" more characters)"));
            const bench::Figures lines = runDownload(app, asLines, folder);
            std::printf("one line        %9.0f  %18.1f  %d\n", one.ms, one.longestStallMs, oneEntries);
            std::printf("100-byte lines  %9.0f  %18.1f  %d\n", lines.ms, lines.longestStallMs, log->blockCount());
        }
    } else {
        const long long lines = argc > 2 ? std::atoll(argv[2]) : 2000000;
        const QString tool = writeTool(dir, QStringLiteral("many"), awkLines(lines));
        const double before = peakResidentMB();
        const bench::Figures f = runDownload(app, tool, folder);
        const QStringList files = QDir(app.logFolder()).entryList({QStringLiteral("*.log")}, QDir::Files);
        const qint64 fileBytes = files.isEmpty() ? 0 : QFileInfo(app.logFolder() + QLatin1Char('/') + files.last()).size();
        std::printf("%lld lines of 100 bytes through the download job into the log\n", lines);
        std::printf("time (ms)  lines/s   longest stall (ms)  entries in the view  log file (MB)  peak memory (MB, at start %.0f)\n",
                    before);
        std::printf("%9.0f  %8.0f  %18.1f  %19d  %13.0f  %.0f\n", f.ms, lines / (f.ms / 1000.0), f.longestStallMs,
                    log->blockCount(), double(fileBytes) / 1e6, peakResidentMB());
        ok = log->blockCount() <= app.logView->maxEntries() + 1 && fileBytes > lines * 100;
    }
    return ok ? 0 : 1;
}
