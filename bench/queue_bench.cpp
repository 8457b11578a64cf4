// A queue of five separations against the same five run one by one, taking
// turns in one run: five 30-second stereo inputs, four stems each, with a
// stand-in Demucs that copies its input to every stem and the real ffmpeg for
// the conversion and the encodes. The queue should add nothing per item.
//   queue_bench [runs]
#include "support/AppSupport.h"
#include "bench_support.h"
#include "gui/widgets/SegmentedControl.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const char* const standInBody = R"(#!/bin/sh
if [ "$1" = -c ]; then exit 0; fi
model=$4; out=$6; for a; do in=$a; done; dir="$out/$model"
mkdir -p "$dir"
printf ' 50%%|####\r100%%|########\r\n'
for s in vocals drums bass other; do cp "$in" "$dir/$s.wav" || exit 9; done
)";

using bench::median;

// Presses Separate and waits for the one alert at the end; seconds, or a
// negative value when the run did not end as expected.
double separate(TestApp& app, const QString& expectedTitle)
{
    const int alertsBefore = app.alertCount;
    QElapsedTimer t;
    t.start();
    app.separateButton->click();
    while (app.alertCount == alertsBefore || app.isBusy())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double seconds = t.nsecsElapsed() / 1e9;
    if (app.alertCount != alertsBefore + 1 || app.lastAlert->title != expectedTitle) {
        std::fprintf(stderr, "unexpected end: %s: %s\n", qPrintable(app.lastAlert->title),
                     qPrintable(app.lastAlert->text));
        return -1;
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    bench::offscreenUnlessSet();
    QApplication qapp(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    QTemporaryDir ws;
    PlatformProfile profile = bench::profileIn(ws);
    QStringList inputs;
    QDir().mkpath(ws.filePath(QStringLiteral("music")));
    for (int i = 1; i <= 5; ++i) {
        const QString input = ws.filePath(QStringLiteral("music/song %1.m4a").arg(i));
        const int status = QProcess::execute(
            QStringLiteral("/usr/bin/ffmpeg"),
            {QStringLiteral("-nostdin"), QStringLiteral("-y"), QStringLiteral("-loglevel"), QStringLiteral("error"),
             QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
             QStringLiteral("anoisesrc=sample_rate=44100:duration=30:amplitude=0.3"), QStringLiteral("-ac"),
             QStringLiteral("2"), QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-b:a"),
             QStringLiteral("192k"), input});
        if (status != 0) {
            std::fprintf(stderr, "could not generate the inputs\n");
            return 1;
        }
        inputs << input;
    }

    TestApp app(profile);
    app.applicationDidFinishLaunching();
    bench::writeExecutable(app.tools().managedDemucsPython(), standInBody);
    app.folderField->setText(ws.filePath(QStringLiteral("save")));
    app.stemModeControl->setSelectedSegment(0);
    while (app.isCheckingDemucs())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    std::vector<double> singles, queues, ratios;
    for (int run = 0; run < runs; ++run) {
        // Turns alternate, so neither always meets a warmer cache.
        for (int turn = 0; turn < 2; ++turn) {
            const bool queueFirst = run % 2 == 1;
            if ((turn == 0) == queueFirst) {
                app.setAudioFiles(inputs);
                const double s = separate(app, QStringLiteral("Batch Complete"));
                if (s < 0)
                    return 1;
                queues.push_back(s);
            } else {
                double total = 0;
                for (const QString& input : std::as_const(inputs)) {
                    app.setLastAudioURL(input);
                    const double s = separate(app, QStringLiteral("Stem Separation Complete"));
                    if (s < 0)
                        return 1;
                    total += s;
                }
                singles.push_back(total);
            }
        }
        ratios.push_back(queues.back() / singles.back());
        std::printf("run %d: 5 single runs %.2f s, queue of 5 %.2f s (ratio %.3f)\n", run + 1, singles.back(),
                    queues.back(), ratios.back());
    }
    // The ratio of each run's pair: the machine's drift over minutes cancels out.
    std::printf("median: 5 single runs %.2f s, queue of 5 %.2f s; median ratio of the pairs %.3f\n", median(singles),
                median(queues), median(ratios));
    return 0;
}
