// Opening a folder of stems in the mixer: a 4-minute six-stem song as AAC
// stems (what a separation writes by default). Each round decodes the
// folder from scratch and prints when every stem could start playing (the
// first seconds decoded) beside when all of it was decoded, then renders
// the whole mix as the sink would pull it, plain and at 80 % tempo, and
// reports the slowest block against the block's own duration. Ends with
// the process's peak memory.
//   mixer_bench [rounds] [minutes]
#include "mixer/MixEngine.h"
#include "mixer/StemLoader.h"
#include "separation/Manifest.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>

namespace {

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool ffmpeg(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/ffmpeg"), QStringList{"-nostdin", "-y", "-loglevel", "error"} + args);
    return p.waitForFinished(-1) && p.exitCode() == 0;
}

// Renders the whole mix in blocks of a sink's period; the slowest block in ms.
double renderAll(mixer::MixEngine& engine, double tempo)
{
    engine.setTempo(tempo);
    engine.seek(0);
    std::vector<float> block(4096 * 2);
    double slowest = 0;
    QElapsedTimer timer;
    for (;;) {
        timer.start();
        const qint64 got = engine.render(block.data(), 4096);
        slowest = std::max(slowest, timer.nsecsElapsed() / 1e6);
        if (got < 4096)
            break;
    }
    return slowest;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    const int minutes = argc > 2 ? std::atoi(argv[2]) : 4;
    QTemporaryDir dir;
    const QString folder = dir.filePath("stems/Song");
    QDir().mkpath(folder);
    const QStringList kinds{"vocals", "drums", "bass", "guitar", "piano", "other"};
    separation::Manifest manifest;
    manifest.sourceAudioPath = dir.filePath("Song.m4a");
    const QString seconds = QString::number(minutes * 60);
    for (int i = 0; i < kinds.size(); ++i) {
        const QString file = folder + "/" + kinds[i] + ".m4a";
        // Noise under a tone: AAC has to work, as on real stems.
        const QString source = QStringLiteral("sine=f=%1:d=%2,volume=0.3[a];anoisesrc=d=%2:a=0.1[b];[a][b]amix")
                                   .arg(110 * (i + 1))
                                   .arg(seconds);
        if (!ffmpeg({"-filter_complex", source, "-ac", "2", "-ar", "44100", "-c:a", "aac", "-b:a", "192k", file})) {
            std::fprintf(stderr, "ffmpeg failed\n");
            return 1;
        }
        manifest.stems.append({kinds[i], "stems/Song/" + kinds[i] + ".m4a", QFileInfo(file).size()});
    }
    {
        QFile out(folder + "/manifest.json");
        out.open(QIODevice::WriteOnly);
        out.write(separation::manifestJson(manifest));
    }
    const auto read = mixer::readStemFolder(folder);
    PlatformProfile profile = PlatformProfile::current();
    profile.converterPath = QStringLiteral("/usr/bin/ffmpeg");
    profile.tempDir = dir.path();
    std::printf("%d-minute song, six AAC stems; peak memory before: %.1f MB\n", minutes, peakKilobytes() / 1024.0);
    std::printf("round  playable  decoded  slowest block (93 ms of audio): plain  80%% tempo\n");
    for (int round = 1; round <= rounds; ++round) {
        mixer::StemLoader loader(profile, std::get<mixer::StemFolder>(read));
        QElapsedTimer clock;
        double playable = 0;
        double decoded = 0;
        bool done = false;
        QObject::connect(&loader, &mixer::StemLoader::playable, [&] { playable = clock.nsecsElapsed() / 1e9; });
        QObject::connect(&loader, &mixer::StemLoader::finished, [&](bool) {
            decoded = clock.nsecsElapsed() / 1e9;
            done = true;
        });
        clock.start();
        loader.start();
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        mixer::MixEngine engine(loader.stems(), loader.sampleRate());
        const double plain = renderAll(engine, 1.0);
        const double slow = renderAll(engine, 0.8);
        std::printf("%5d  %7.2f s  %5.2f s  %33.1f ms  %6.1f ms\n", round, playable, decoded, plain, slow);
    }
    std::printf("peak memory (ru_maxrss): %.1f MB\n", peakKilobytes() / 1024.0);
    return 0;
}
