// Time from Separate to the completion alert for a 3-minute stereo 44.1 kHz
// input, with a stand-in Demucs that copies its input to every stem, against
// the same converter commands run directly from a shell script.
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

int runShell(const QString& script)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(QStringLiteral("/bin/sh"), {script});
    p.waitForFinished(-1);
    return p.exitCode();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
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
    const QString python = app.managedDemucsPythonURL();
    app.folderField->setText(root + QStringLiteral("/save-app"));
    app.setLastAudioURL(input);
    app.stemModeControl->setSelectedSegment(1);

    // The same steps as the app, straight from a shell: probe, convert the
    // input, Demucs, six AAC encodes, a manifest, remove the output root.
    const QString script = root + QStringLiteral("/direct.sh");
    const QString ff = QStringLiteral("/usr/bin/ffmpeg -nostdin -y -hide_banner -nostats -loglevel error");
    writeExecutable(script, QStringLiteral(
        "set -e\n"
        "py='%1'\nin='%2'\nout='%3/tmp/direct-root'\nsave='%3/save-sh/stems/three minutes'\n"
        "\"$py\" -c probe\n"
        "mkdir -p \"$out\" \"$save\"\n"
        "%4 -i \"$in\" -map 0:a:0 -vn -c:a pcm_s16le -f wav \"$out/demucs-input.wav\"\n"
        "\"$py\" -m demucs.separate --name htdemucs_6s --out \"$out\" --filename '{stem}.{ext}' \"$out/demucs-input.wav\" > /dev/null\n"
        "for s in vocals drums bass other guitar piano; do\n"
        "  %4 -i \"$out/htdemucs_6s/$s.wav\" -map 0:a:0 -vn -c:a aac -b:a 192000 -f ipod \"$save/.$s.tmp\"\n"
        "  mv \"$save/.$s.tmp\" \"$save/$s.m4a\"\n"
        "done\n"
        "printf '{}' > \"$save/manifest.json\"\n"
        "rm -rf \"$out\"\n").arg(python, input, root, ff).toUtf8());

    std::vector<double> appTimes, shellTimes;
    for (int i = 0; i < runs; ++i) {
        const int alertsBefore = app.alertCount;
        QElapsedTimer t;
        t.start();
        app.separateButton->click();
        while (app.alertCount == alertsBefore)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        appTimes.push_back(t.nsecsElapsed() / 1e9);
        if (app.lastAlert->title != QLatin1String("Stem Separation Complete")) {
            std::fprintf(stderr, "separation failed: %s\n", qPrintable(app.lastAlert->message));
            return 1;
        }

        t.restart();
        if (runShell(script) != 0) {
            std::fprintf(stderr, "the direct script failed\n");
            return 1;
        }
        shellTimes.push_back(t.nsecsElapsed() / 1e9);
        std::printf("run %d: app %.3f s, shell %.3f s\n", i + 1, appTimes.back(), shellTimes.back());
    }
    const double a = median(appTimes), s = median(shellTimes);
    std::printf("median: app %.3f s, shell %.3f s, ratio %.3f\n", a, s, a / s);
    return 0;
}
