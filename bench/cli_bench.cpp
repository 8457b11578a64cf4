// "stemloft separate" against the same commands from a shell script, taking
// turns in one run: a 3-minute stereo recording, four stems, a stand-in
// Demucs that copies its input to every stem and the real ffmpeg for the
// encodes. The script runs the environment check, Demucs, the encodes (as
// many at once as the program runs) and moves the stems into place; the
// program should add nothing to that.
//   cli_bench STEMLOFT [runs]
#include "bench_support.h"
#include "demucs/DemucsContract.h"
#include "demucs/DemucsEnvironment.h"
#include "separation/AudioConversion.h"
#include "separation/SeparationJob.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

const char* const standInBody = R"(#!/bin/sh
if [ "$1" = -c ]; then echo 'stemloft-device: cpu'; exit 0; fi
model=$4; out=$6; for a; do in=$a; done; dir="$out/$model"
mkdir -p "$dir"
printf ' 50%%|####\r100%%|########\r\n'
for s in vocals drums bass other; do cp "$in" "$dir/$s.wav" || exit 9; done
)";

QString quoted(const QString& text)
{
    return QLatin1Char('\'') + QString(text).replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
           QLatin1Char('\'');
}

// Seconds of one run of program, or a negative value when it failed.
double timed(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer t;
    t.start();
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s", process.readAll().constData());
        return -1;
    }
    return t.nsecsElapsed() / 1e9;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication qapp(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: cli_bench STEMLOFT [runs]\n");
        return 2;
    }
    const QString stemloft = QString::fromLocal8Bit(argv[1]);
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("home"));
    const QString support = home + QStringLiteral("/.local/share/Stemloft");
    const QString python = support + QStringLiteral("/demucs-env/bin/python");
    bench::writeExecutable(python, standInBody);
    const QString checkpoints = support + QStringLiteral("/torch/hub/checkpoints/");
    QDir().mkpath(checkpoints);
    for (const QString& file : demucs::modelWeightFiles(QStringLiteral("htdemucs")))
        bench::writeExecutable(checkpoints + file, "weights");
    const QString song = dir.filePath(QStringLiteral("song.wav"));
    if (QProcess::execute(QStringLiteral("/usr/bin/ffmpeg"),
                          {"-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                           "anoisesrc=d=180:c=pink:r=44100:a=0.3", "-ac", "2", song}) != 0) {
        std::fprintf(stderr, "ffmpeg could not make the recording\n");
        return 1;
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("TMPDIR"), dir.path());
    const QString programOut = dir.filePath(QStringLiteral("program"));
    const QString scriptOut = dir.filePath(QStringLiteral("script"));

    // The script: the same argument vectors the program gives its children.
    const QString root = dir.filePath(QStringLiteral("root"));
    const QString stems = scriptOut + QStringLiteral("/stems/song");
    const int encodeSlots = SeparationJob::encodeSlots(0, 4);
    QString script = QStringLiteral("set -e\nrm -rf %1; mkdir -p %1 %2\n").arg(quoted(root), quoted(stems));
    script += quoted(python) + QStringLiteral(" -c ") + quoted(demucs::compatibilityProbeScript()) +
              QStringLiteral(" >/dev/null\n");
    script += quoted(python) + QStringLiteral(" -m demucs.separate --name htdemucs --out ") + quoted(root) +
              QStringLiteral(" --filename '{stem}.{ext}' ") + quoted(song) + QStringLiteral(" >/dev/null\n");
    script += QStringLiteral("printf '%s\\n'");
    for (const char* stem : {"vocals", "drums", "bass", "other"}) {
        QStringList command{QStringLiteral("/usr/bin/ffmpeg")};
        command << separation::converterArguments(PlatformProfile::Converter::ffmpeg,
                                                  separation::stemTarget(separation::ExportFormat::aac),
                                                  root + QStringLiteral("/htdemucs/") + QLatin1String(stem) + QStringLiteral(".wav"),
                                                  root + QLatin1Char('/') + QLatin1String(stem) + QStringLiteral(".m4a"));
        for (QString& word : command)
            word = quoted(word);
        script += QLatin1Char(' ') + quoted(command.join(QLatin1Char(' ')) + QStringLiteral(" 2>/dev/null"));
    }
    script += QStringLiteral(" | xargs -P %1 -I{} sh -c {}\n").arg(encodeSlots);
    script += QStringLiteral("mv %1/*.m4a %2/\nrm -rf %1\n").arg(quoted(root), quoted(stems));
    const QString scriptFile = dir.filePath(QStringLiteral("separate.sh"));
    bench::writeExecutable(scriptFile, script.toUtf8());

    std::printf("run  stemloft s  script s  ratio\n");
    std::vector<double> ratios, programTimes, scriptTimes;
    for (int i = 0; i < runs; ++i) {
        QDir(programOut).removeRecursively();
        QDir(scriptOut).removeRecursively();
        // Taking turns in both orders evens out a machine that speeds up or slows down.
        double program = 0, shell = 0;
        const auto runProgram = [&] {
            program = timed(stemloft, {"separate", song, "--stems", "4", "--to", programOut}, environment);
        };
        const auto runScript = [&] { shell = timed(QStringLiteral("/bin/sh"), {scriptFile}, environment); };
        if (i % 2 == 0) {
            runProgram();
            runScript();
        } else {
            runScript();
            runProgram();
        }
        if (program < 0 || shell < 0 || !QFileInfo::exists(programOut + QStringLiteral("/stems/song/manifest.json")) ||
            !QFileInfo::exists(stems + QStringLiteral("/other.m4a"))) {
            std::fprintf(stderr, "a run failed\n");
            return 1;
        }
        ratios.push_back(program / shell);
        programTimes.push_back(program);
        scriptTimes.push_back(shell);
        std::printf("%3d  %10.2f  %8.2f  %5.3f\n", i + 1, program, shell, program / shell);
        std::fflush(stdout);
    }
    std::printf("median  %6.2f  %8.2f  %5.3f (of the ratios)\n", bench::median(programTimes),
                bench::median(scriptTimes), bench::median(ratios));
    return 0;
}
