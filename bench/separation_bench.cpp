// A whole six-stem separation of a 3-minute stereo 44.1 kHz input, with a
// stand-in Demucs that copies its input to every stem: the time of the export
// (six AAC encodes) with encodes in parallel against one at a time, taking
// turns in one run, and the longest event-loop stall of each separation.
//   separation_bench [runs]
#include "app/AppDelegate.h"
#include "app/FileOps.h"
#include "ui/SegmentedControl.h"

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
#include <cstdio>

namespace {

const char* const standInBody = R"(#!/bin/sh
if [ "$1" = -c ]; then exit 0; fi
model=$4; out=$6; in=$9; dir="$out/$model"
mkdir -p "$dir"
printf ' 50%%|####\r100%%|########\r\n'
for s in vocals drums bass other guitar piano; do cp "$in" "$dir/$s.wav" || exit 9; done
)";

void writeExecutable(const QString& path, const QByteArray& body)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(body);
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Figures {
    double totalS = 0;
    double exportS = 0;
    double longestStallMs = 0;
};

// Presses Separate and waits for the alert; the export starts with the first
// "Encoding" entry.
bool separate(AppDelegate& app, Figures& f)
{
    QElapsedTimer beat, total, exportTime;
    qint64 longest = 0;
    QTimer heartbeat;
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        longest = std::max(longest, beat.nsecsElapsed());
        beat.restart();
    });
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
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    f.totalS = total.nsecsElapsed() / 1e9;
    f.exportS = exportTime.isValid() ? exportTime.nsecsElapsed() / 1e9 : 0;
    f.longestStallMs = longest / 1e6;
    if (app.lastAlert->title != QLatin1String("Stem Separation Complete")) {
        std::fprintf(stderr, "separation failed: %s\n", qPrintable(app.lastAlert->message));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
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

    AppDelegate app(profile);
    app.applicationDidFinishLaunching();
    writeExecutable(app.managedDemucsPythonURL(), standInBody);
    app.folderField->setText(root + QStringLiteral("/save"));
    app.setLastAudioURL(input);
    app.stemModeControl->setSelectedSegment(1);
    const int cores = QThread::idealThreadCount();

    std::vector<double> oneExport, parallelExport, oneTotal, parallelTotal, stalls;
    for (int i = 0; i < runs; ++i) {
        Figures one, parallel;
        app.maxParallelEncodes = 1;
        if (!separate(app, one))
            return 1;
        app.maxParallelEncodes = 0;  // one per core
        if (!separate(app, parallel))
            return 1;
        oneExport.push_back(one.exportS);
        parallelExport.push_back(parallel.exportS);
        oneTotal.push_back(one.totalS);
        parallelTotal.push_back(parallel.totalS);
        stalls.push_back(std::max(one.longestStallMs, parallel.longestStallMs));
        std::printf("run %d: export one at a time %.2f s, %d at once %.2f s (ratio %.2f); whole separation "
                    "%.2f s / %.2f s; longest stall %.1f ms / %.1f ms\n",
                    i + 1, one.exportS, cores, parallel.exportS, parallel.exportS / one.exportS, one.totalS,
                    parallel.totalS, one.longestStallMs, parallel.longestStallMs);
    }
    const double a = median(oneExport), b = median(parallelExport);
    std::printf("median export: one at a time %.2f s, %d at once %.2f s, ratio %.2f\n", a, cores, b, b / a);
    std::printf("median whole separation: %.2f s against %.2f s\n", median(oneTotal), median(parallelTotal));
    std::printf("longest event-loop stall of all runs: %.1f ms\n", *std::max_element(stalls.begin(), stalls.end()));
    return 0;
}
