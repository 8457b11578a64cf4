// The managed Demucs environment: where its interpreter lives and whether it works.
#include "app/AppError.h"
#include "app/FileOps.h"
#include "demucs/DemucsContract.h"
#include "demucs/PythonProbes.h"

namespace demucs {

QString compatibilityProbeScript()
{
    static const QStringList lines = {
        QStringLiteral("import os, sys, tempfile, torch, torchaudio, soundfile, demucs"),
        QStringLiteral("torch_version = torch.__version__.split(\"+\", 1)[0]"),
        QStringLiteral("torchaudio_version = torchaudio.__version__.split(\"+\", 1)[0]"),
        QStringLiteral("fd, path = tempfile.mkstemp(suffix=\".wav\")"),
        QStringLiteral("os.close(fd)"),
        QStringLiteral("try:"),
        QStringLiteral("    torchaudio.save(path, torch.zeros(1, 1600), 16000)"),
        QStringLiteral("    torchaudio.load(path)"),
        QStringLiteral("finally:"),
        QStringLiteral("    try:"),
        QStringLiteral("        os.remove(path)"),
        QStringLiteral("    except FileNotFoundError:"),
        QStringLiteral("        pass"),
        QStringLiteral("ok = (3, 9) <= sys.version_info[:2] <= (3, 12) and torch_version == \"2.5.1\" "
                       "and torchaudio_version == \"2.5.1\""),
        QStringLiteral("sys.exit(0 if ok else 1)"),
    };
    return lines.join(QLatin1Char('\n'));
}

}  // namespace demucs


ChildProcess* demucs::probeManagedEnvironment(QObject* owner, const QString& managedPython,
                                              const QProcessEnvironment& environment, int timeLimitMs,
                                              std::function<void(ProbeAnswer)> done)
{
    if (!fileops::isExecutableFile(managedPython)) {
        done(ProbeAnswer{});
        return nullptr;
    }
    return startPythonRun(owner, managedPython, compatibilityProbeScript(), environment, timeLimitMs,
                          ChildProcess::Output::discard, [done](const RunResult& result, const QByteArray&) {
                              done(ProbeAnswer{result.ok(), result.outcome == RunResult::Outcome::timedOut,
                                               result.outcome == RunResult::Outcome::stopped});
                          });
}

std::optional<int> demucs::pipProgressPercent(QStringView line)
{
    static const QLatin1String prefix("Progress ");
    if (!line.startsWith(prefix))
        return std::nullopt;
    const auto parts = line.mid(prefix.size()).split(QLatin1Char(' '));
    if (parts.size() != 3 || parts.at(1) != QLatin1String("of"))
        return std::nullopt;
    bool okDone = false, okTotal = false;
    const qint64 done = parts.at(0).toString().toLongLong(&okDone);
    const qint64 total = parts.at(2).toString().toLongLong(&okTotal);
    if (!okDone || !okTotal || total <= 0 || done < 0)
        return std::nullopt;
    return int(std::min<qint64>(100, done * 100 / total));
}
