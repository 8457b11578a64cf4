// Stand-ins shared by the separation tests: a managed interpreter that plays
// Demucs, a fake converter and a few audio helpers around the real ffmpeg.
#pragma once

#include "separation/AudioConversion.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>


namespace sepfix {

struct StandIn {
    QString argsFile;       // where the Demucs run records its arguments
    QString probe = QStringLiteral("exit 0");
    int status = 0;
    QString stems;          // empty: the model's stems
    // Shell command writing one stem; $in, $dir and $s are set.
    QString writeStem = QStringLiteral("printf 'wav-%s' \"$s\" > \"$dir/$s.wav\"");
};

// Writes the stand-in at the managed interpreter's location.
inline QString writeStandInDemucs(const TempWorkspace& ws, const AppDelegate& app, const StandIn& s)
{
    const QString python = app.managedDemucsPythonURL();
    const QString relative = QDir(ws.root()).relativeFilePath(python);
    const QString stems = s.stems.isEmpty()
                              ? QStringLiteral("if [ \"$model\" = htdemucs ]; then stems='vocals drums bass other';"
                                               " else stems='vocals drums bass other guitar piano'; fi")
                              : QStringLiteral("stems=%1").arg(shellQuote(s.stems));
    const QString body =
        QStringLiteral("if [ \"$1\" = -c ]; then %1; fi\n").arg(s.probe) + recordArgsLines(s.argsFile) +
        QStringLiteral("\nmodel=$4; out=$6; in=$9; dir=\"$out/$model\"\n"
                       "mkdir -p \"$dir\"\n"
                       "printf 'Loading model %s\\n' \"$model\"\n"
                       "printf ' 33%%|###   \\r 67%%|#####  \\r100%%|#######\\r\\n'\n") +
        stems + QStringLiteral("\nfor s in $stems; do %1 || exit 9; done\nexit %2").arg(s.writeStem).arg(s.status);
    return ws.writeScript(relative, body);
}

// A converter that records its arguments and writes "converted:" plus the
// source into the destination, or fails when a file named fail-<source name>
// exists in failDir (printing that file's contents).
inline QString writeFakeConverter(const TempWorkspace& ws, const QString& path, const QString& argsFile,
                                  const QString& failDir)
{
    const QString relative = QDir(ws.root()).relativeFilePath(path);
    return ws.writeScript(
        relative, recordArgsLines(argsFile) +
                      QStringLiteral("\nprev=; for a in \"$@\"; do [ \"$prev\" = -i ] && src=$a; prev=$a; dest=$a; done\n"
                                     "f=%1/fail-$(basename \"$src\")\n"
                                     "if [ -e \"$f\" ]; then cat \"$f\"; exit 1; fi\n"
                                     "{ printf 'converted:'; cat \"$src\"; } > \"$dest\"")
                          .arg(shellQuote(failDir)));
}

inline QStringList outputRoots(const QString& tempDir)
{
    return QDir(tempDir).entryList({QStringLiteral("stemloft-demucs-*")}, QDir::AllEntries | QDir::Hidden);
}

// Runs ffmpeg with the given arguments after "-nostdin -y -loglevel error".
inline bool ffmpeg(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/ffmpeg"),
            QStringList{QStringLiteral("-nostdin"), QStringLiteral("-y"), QStringLiteral("-loglevel"),
                        QStringLiteral("error")} + args);
    return p.waitForFinished(120000) && p.exitCode() == 0;
}

// Stream and format facts of the first audio stream, as key=value from ffprobe.
inline QMap<QString, QString> probeAudio(const QString& path)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/ffprobe"),
            {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"), QStringLiteral("a:0"),
             QStringLiteral("-show_entries"), QStringLiteral("stream=codec_name,sample_rate,channels,bit_rate:format=format_name"),
             QStringLiteral("-of"), QStringLiteral("default=nw=1"), path});
    p.waitForFinished(60000);
    QMap<QString, QString> facts;
    for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            facts.insert(line.left(eq), line.mid(eq + 1));
    }
    return facts;
}

// Runs one conversion to its end; the error it gave, if any.
inline std::optional<AppError> convertSync(const PlatformProfile& profile, separation::ConversionTarget target,
                                           const QString& source, const QString& destination)
{
    separation::ConversionRun run(profile, target, source, destination);
    bool done = false;
    QObject::connect(&run, &separation::ConversionRun::finished, [&] { done = true; });
    if (!run.start())
        return run.error();
    waitUntil([&] { return done; }, 60000);
    return run.error();
}

inline QJsonObject readJsonObject(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

}  // namespace sepfix
