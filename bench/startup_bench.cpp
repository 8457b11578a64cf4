// Start-up to a shown window with a managed environment whose imports take
// 3 s (a stand-in interpreter that sleeps), against start-up with no
// environment, taking turns in one run.
//
//   startup_bench [runs]     (default 5)
#include "support/AppSupport.h"
#include "bench_support.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMainWindow>
#include <QTemporaryDir>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double launchMs(const PlatformProfile& profile)
{
    QElapsedTimer t;
    t.start();
    TestApp app(profile);
    app.applicationDidFinishLaunching();
    while (!(app.window->windowHandle() && app.window->windowHandle()->isExposed()))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    // Exposed means painted: the expose event draws the window at once.
    const double ms = double(t.nsecsElapsed()) / 1e6;
    // Let the probe start, as it would, before the application goes (which
    // kills it).
    QCoreApplication::processEvents();
    return ms;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication qapp(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    QTemporaryDir slowDir, emptyDir;
    const PlatformProfile slow = bench::profileIn(slowDir);
    const PlatformProfile none = bench::profileIn(emptyDir);

    // The managed interpreter answers the compatibility probe after 3 s, as
    // importing torch from a cold disk does.
    const QString python = slowDir.filePath(QStringLiteral("support/Stemloft/demucs-env/bin/python"));
    QDir().mkpath(QFileInfo(python).path());
    QFile f(python);
    f.open(QIODevice::WriteOnly);
    f.write("#!/bin/sh\nsleep 3\nexit 0\n");
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    launchMs(none);  // warm-up: fonts, styles, the platform plugin
    std::vector<double> slowTimes, noneTimes;
    for (int i = 0; i < runs; ++i) {
        slowTimes.push_back(launchMs(slow));
        noneTimes.push_back(launchMs(none));
        std::printf("run %d: slow environment %.1f ms, no environment %.1f ms\n", i + 1, slowTimes.back(),
                    noneTimes.back());
    }
    const double s = median(slowTimes), n = median(noneTimes);
    std::printf("median: slow environment %.1f ms, no environment %.1f ms, ratio %.2f\n", s, n, s / n);
    return 0;
}
