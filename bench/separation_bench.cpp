// A whole six-stem separation of a 3-minute stereo 44.1 kHz input, with a
// stand-in Demucs that copies its input to every stem: the time of the export
// (six AAC encodes) with encodes in parallel against one at a time, taking
// turns in one run, and the longest event-loop stall of each separation.
//   separation_bench [runs]
#include "support/AppSupport.h"
#include "bench_support.h"
#include "base/FileOps.h"
#include "process/ProcessTable.h"
#include "gui/widgets/SegmentedControl.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <cstdio>

namespace {

const char* const standInBody = R"(#!/bin/sh
if [ "$1" = -c ]; then exit 0; fi
model=$4; out=$6; in=$9; dir="$out/$model"
mkdir -p "$dir"
printf ' 50%%|####\r100%%|########\r\n'
for s in vocals drums bass other guitar piano; do cp "$in" "$dir/$s.wav" || exit 9; done
)";

using bench::median;
using bench::writeExecutable;

struct Figures {
    double totalS = 0;
    double exportS = 0;
    double longestStallMs = 0;
    double longestBusyMs = 0;  // of that, time the app's own thread was running
    int mostConverters = 0;    // at once, sampled
};

// How many converters run as children of this process now.
int runningConverters()
{
    int count = 0;
    for (const processes::ProcessInfo& process : processes::allProcesses()) {
        if (process.name == "ffmpeg" && process.parent == QCoreApplication::applicationPid() && !process.ended)
            ++count;
    }
    return count;
}

qint64 threadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Presses Separate and waits for the alert; the export starts with the first
// "Encoding" entry.
bool separate(TestApp& app, Figures& f)
{
    QElapsedTimer beat, total, exportTime;
    qint64 longest = 0, longestBusy = 0, cpuAtBeat = threadCpuNs();
    QTimer heartbeat;
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        // A gap is either the app's own work (its thread ran) or the machine
        // giving the cores to the children (it did not).
        const qint64 cpu = threadCpuNs();
        longest = std::max(longest, beat.nsecsElapsed());
        longestBusy = std::max(longestBusy, cpu - cpuAtBeat);
        cpuAtBeat = cpu;
        beat.restart();
    });
    QTimer sampler;
    sampler.setInterval(100);
    QObject::connect(&sampler, &QTimer::timeout, [&] { f.mostConverters = std::max(f.mostConverters, runningConverters()); });
    sampler.start();
    const int alertsBefore = app.alertCount;
    total.start();
    beat.start();
    heartbeat.start();
    app.separateButton->click();
    QObject::connect(app.currentJob(), &Job::logEntries, [&](const QStringList& entries) {
        if (!exportTime.isValid() && entries.contains(QStringLiteral("Encoding vocals.m4a...")))
            exportTime.start();
    });
    while (app.alertCount == alertsBefore)
        // Blocks until something happens, as the application's own loop does (the
        // overload with a time limit never waits: it would spin a core).
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    f.totalS = total.nsecsElapsed() / 1e9;
    f.exportS = exportTime.isValid() ? exportTime.nsecsElapsed() / 1e9 : 0;
    f.longestStallMs = longest / 1e6;
    f.longestBusyMs = longestBusy / 1e6;
    if (app.lastAlert->title != QLatin1String("Stem Separation Complete")) {
        std::fprintf(stderr, "separation failed: %s\n", qPrintable(app.lastAlert->text));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    bench::offscreenUnlessSet();
    QApplication qapp(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    QTemporaryDir ws;
    const QString root = ws.path();
    PlatformProfile profile = PlatformProfile::current();
    profile.homeDir = root + QStringLiteral("/home");
    profile.appSupportBaseDir = root + QStringLiteral("/home/.local/share");
    profile.tempDir = root + QStringLiteral("/tmp");
    profile.settingsFile = root + QStringLiteral("/settings.ini");
    QDir().mkpath(profile.tempDir);

    const QString input = root + QStringLiteral("/music/three minutes.m4a");
    QDir().mkpath(root + QStringLiteral("/music"));
    {
        QProcess gen;
        gen.start(QStringLiteral("/usr/bin/ffmpeg"),
                  {QStringLiteral("-nostdin"), QStringLiteral("-y"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                   QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                   QStringLiteral("anoisesrc=sample_rate=44100:duration=180:amplitude=0.3"), QStringLiteral("-ac"),
                   QStringLiteral("2"), QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-b:a"),
                   QStringLiteral("192k"), input});
        gen.waitForFinished(-1);
        if (gen.exitCode() != 0) {
            std::fprintf(stderr, "could not generate the input\n");
            return 1;
        }
    }

    TestApp app(profile);
    app.applicationDidFinishLaunching();
    writeExecutable(app.tools().managedDemucsPython(), standInBody);
    app.folderField->setText(root + QStringLiteral("/save"));
    app.setLastAudioURL(input);
    app.stemModeControl->setSelectedSegment(1);
    const int cores = QThread::idealThreadCount();

    // The machine's own ceiling: the same six encodes straight from a shell,
    // one at a time and as many at once as the app runs.
    const QString wav = root + QStringLiteral("/music/input.wav");
    {
        QProcess conv;
        conv.start(QStringLiteral("/usr/bin/ffmpeg"), {QStringLiteral("-nostdin"), QStringLiteral("-y"),
                                                       QStringLiteral("-loglevel"), QStringLiteral("error"),
                                                       QStringLiteral("-i"), input, wav});
        conv.waitForFinished(-1);
    }
    const QString encodeScript = root + QStringLiteral("/encode.sh");
    writeExecutable(encodeScript, QStringLiteral(
        "#!/bin/sh\n# $1: how many at once\n"
        "for s in vocals drums bass other guitar piano; do echo $s; done | xargs -P \"$1\" -I{} "
        "nice -n 5 /usr/bin/ffmpeg -nostdin -y -hide_banner -nostats -loglevel error -i '%1' -map 0:a:0 -vn "
        "-c:a aac -b:a 192000 -f ipod '%2/{}.m4a'\n").arg(wav, root).toUtf8());
    auto shellEncodes = [&](int atOnce) {
        QElapsedTimer t;
        t.start();
        QProcess::execute(encodeScript, {QString::number(atOnce)});
        return t.nsecsElapsed() / 1e9;
    };

    std::vector<double> oneExport, parallelExport, oneTotal, parallelTotal, stalls, busy, shellOne, shellParallel;
    for (int i = 0; i < runs; ++i) {
        Figures one, parallel;
        app.maxParallelEncodes = 1;
        if (!separate(app, one))
            return 1;
        app.maxParallelEncodes = 0;  // one per core
        if (!separate(app, parallel))
            return 1;
        shellOne.push_back(shellEncodes(1));
        shellParallel.push_back(shellEncodes(cores));
        oneExport.push_back(one.exportS);
        parallelExport.push_back(parallel.exportS);
        oneTotal.push_back(one.totalS);
        parallelTotal.push_back(parallel.totalS);
        stalls.push_back(std::max(one.longestStallMs, parallel.longestStallMs));
        busy.push_back(std::max(one.longestBusyMs, parallel.longestBusyMs));
        std::printf("run %d: export one at a time %.2f s, %d at once %.2f s (ratio %.2f); whole separation "
                    "%.2f s / %.2f s; longest stall %.1f ms / %.1f ms, of it the app's own work %.1f ms / %.1f ms\n",
                    i + 1, one.exportS, cores, parallel.exportS, parallel.exportS / one.exportS, one.totalS,
                    parallel.totalS, one.longestStallMs, parallel.longestStallMs, one.longestBusyMs,
                    parallel.longestBusyMs);
        std::printf("       converters at once: %d / %d\n", one.mostConverters, parallel.mostConverters);
        std::printf("       shell encodes one at a time %.2f s, %d at once %.2f s (ratio %.2f)\n", shellOne.back(), cores,
                    shellParallel.back(), shellParallel.back() / shellOne.back());
    }
    const double a = median(oneExport), b = median(parallelExport);
    std::printf("median export: one at a time %.2f s, %d at once %.2f s, ratio %.2f\n", a, cores, b, b / a);
    std::printf("median shell encodes: one at a time %.2f s, %d at once %.2f s, ratio %.2f\n", median(shellOne),
                cores, median(shellParallel), median(shellParallel) / median(shellOne));
    std::printf("median whole separation: %.2f s against %.2f s\n", median(oneTotal), median(parallelTotal));
    std::printf("longest event-loop stall of all runs: %.1f ms; longest of the app's own work: %.1f ms\n",
                *std::max_element(stalls.begin(), stalls.end()), *std::max_element(busy.begin(), busy.end()));
    return 0;
}
