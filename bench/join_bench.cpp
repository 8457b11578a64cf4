// The join of a long recording's parts: a 60-minute six-stem run (16-bit
// stereo 44.1 kHz, ~635 MB a stem) in parts of 10 minutes overlapping by
// 10 s. Each stem's parts are written, joined, timed, then removed, so the
// disk holds one stem's parts and its join at a time. Prints the time of
// each join, their total, and the process's peak memory before and after.
//   join_bench [folder] [minutes]
#include "separation/LongRecording.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <cmath>
#include <cstdio>
#include <sys/resource.h>

namespace {

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A 16-bit stereo part of a stem: a tone that runs on across the parts.
bool writePart(const QString& path, const separation::PartSpan& span, double frequency)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const qint64 bytes = span.frames * 4;
    QByteArray header("RIFF");
    char word[4];
    const auto put32 = [&](quint32 v) { qToLittleEndian(v, word); header.append(word, 4); };
    put32(quint32(36 + bytes));
    header.append("WAVEfmt ", 8);
    put32(16);
    header.append(QByteArray::fromHex("01000200"));  // PCM, two channels
    put32(44100);
    put32(44100 * 4);
    header.append(QByteArray::fromHex("04001000"));  // four bytes a frame, 16 bits
    header.append("data", 4);
    put32(quint32(bytes));
    file.write(header);
    QByteArray buffer(1 << 20, '\0');
    for (qint64 f = span.start; f < span.end();) {
        const qint64 n = std::min<qint64>(buffer.size() / 4, span.end() - f);
        for (qint64 i = 0; i < n; ++i) {
            const auto v = qint16(std::lround(12000 * std::sin(2 * M_PI * frequency * double(f + i) / 44100)));
            qToLittleEndian(v, buffer.data() + 4 * i);
            qToLittleEndian(qint16(-v), buffer.data() + 4 * i + 2);
        }
        if (file.write(buffer.constData(), n * 4) != n * 4)
            return false;
        f += n;
    }
    return file.flush();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    const int minutes = argc > 2 ? std::atoi(argv[2]) : 60;
    QTemporaryDir dir(base + QStringLiteral("/join_bench-XXXXXX"));
    if (!dir.isValid())
        return 1;
    const qint64 frames = qint64(minutes) * 60 * 44100;
    const QList<separation::PartSpan> spans = separation::planParts(frames, 600 * 44100, 10 * 44100);
    std::printf("%d minutes, %lld parts, %.0f MB a stem\n", minutes, qlonglong(spans.size()), frames * 4 / 1e6);
    const long before = peakKilobytes();
    std::atomic<bool> cancel = false;
    double total = 0;
    const char* stems[] = {"vocals", "drums", "bass", "other", "guitar", "piano"};
    for (int s = 0; s < 6; ++s) {
        QStringList parts;
        for (qsizetype k = 0; k < spans.size(); ++k) {
            parts << dir.filePath(QStringLiteral("part-%1-%2.wav").arg(stems[s]).arg(k + 1));
            if (!writePart(parts.last(), spans[k], 110.0 * (s + 1))) {
                std::fprintf(stderr, "could not write %s\n", qPrintable(parts.last()));
                return 1;
            }
        }
        const QString joined = dir.filePath(QStringLiteral("%1.wav").arg(stems[s]));
        QElapsedTimer timer;
        timer.start();
        const QString error = separation::joinStem(parts, spans, 44100, frames, joined, cancel);
        const double seconds = timer.nsecsElapsed() / 1e9;
        if (!error.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        total += seconds;
        std::printf("%-7s joined in %.2f s (%.0f MB)\n", stems[s], seconds, QFile(joined).size() / 1e6);
        for (const QString& part : parts)
            QFile::remove(part);
        QFile::remove(joined);
    }
    std::printf("all six joins: %.2f s\npeak memory: %ld KB before the joins, %ld KB after\n", total, before,
                peakKilobytes());
    return 0;
}
