// Stand-ins shared by the separation tests: a managed interpreter that plays
// Demucs, a fake converter and a few audio helpers around the real ffmpeg.
#pragma once

#include "demucs/DemucsEnvironment.h"
#include "separation/AudioConversion.h"
#include "session/Toolbox.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>

#include <algorithm>

namespace sepfix {

struct StandIn {
    QString argsFile;       // where the Demucs run records its arguments
    QString probe = QStringLiteral("exit 0");
    int status = 0;
    QString stems;          // empty: the model's stems
    // Shell command writing one stem; $in, $dir and $s are set.
    QString writeStem = QStringLiteral("printf 'wav-%s' \"$s\" > \"$dir/$s.wav\"");
    // Shell lines run after the stems are written, before the exit.
    QString beforeExit;
};

// Shell lines that record the script's process id in the file pidWord names
// (whole, so a reader never sees it half-written), then wait while the file
// holdWord names exists. Both are words as the shell reads them.
inline QString holdShell(const QString& pidWord, const QString& holdWord)
{
    return QStringLiteral("echo $$ > %1.new && mv %1.new %1\nwhile [ -e %2 ]; do sleep 0.02; done")
        .arg(pidWord, holdWord);
}
inline QString holdLines(const QString& pidFile, const QString& holdFile)
{
    return holdShell(shellQuote(pidFile), shellQuote(holdFile));
}

// Puts the weights of the three models where Demucs keeps them, so no run is a first use.
inline void provideWeights(const Toolbox& tools)
{
    const QString folder = tools.demucsEnvironment().value(QStringLiteral("TORCH_HOME")) +
                           QStringLiteral("/hub/checkpoints/");
    QDir().mkpath(folder);
    for (const QString& model : {QStringLiteral("htdemucs"), QStringLiteral("htdemucs_6s"), QStringLiteral("htdemucs_ft")}) {
        for (const QString& file : demucs::modelWeightFiles(model)) {
            QFile f(folder + file);
            if (f.open(QIODevice::WriteOnly))
                f.write("weights");
        }
    }
}

// Writes the stand-in at the managed interpreter's location.
inline QString writeStandInDemucs(const TempWorkspace& ws, const Toolbox& tools, const StandIn& s)
{
    const QString python = tools.managedDemucsPython();
    const QString relative = QDir(ws.root()).relativeFilePath(python);
    const QString stems = s.stems.isEmpty()
                              ? QStringLiteral("if [ \"$model\" != htdemucs_6s ]; then stems='vocals drums bass other';"
                                               " else stems='vocals drums bass other guitar piano'; fi\n"
                                               "two=; for a; do [ \"$two\" = 1 ] && stems=\"$a no_$a\";"
                                               " two=; [ \"$a\" = --two-stems ] && two=1; done")
                              : QStringLiteral("stems=%1").arg(shellQuote(s.stems));
    const QString body =
        QStringLiteral("if [ \"$1\" = -c ]; then %1; fi\n").arg(s.probe) + recordArgsLines(s.argsFile) +
        // Options as Demucs reads them; every other word is a track. Each track's
        // stems go where the --filename template puts them, its bar before them.
        QStringLiteral("\nmodel=; out=; template='{track}/{stem}.{ext}'; prev=; n=0\n"
                       "for a; do\n"
                       "  case $prev in\n"
                       "    --name) model=$a ;; --out) out=$a ;; --filename) template=$a ;;\n"
                       "    -m|-d|--clip-mode|--two-stems) ;;\n"
                       "    *) case $a in -*) ;; *) n=$((n+1)); eval \"track_$n=\\$a\" ;; esac ;;\n"
                       "  esac; prev=$a\n"
                       "done\n"
                       "printf 'Loading model %s\\n' \"$model\"\n") +
        stems +
        QStringLiteral("\ni=0; while [ $i -lt $n ]; do i=$((i+1)); eval \"in=\\$track_$i\"\n"
                       "  case $template in '{track}/'*) name=${in##*/}; dir=\"$out/$model/${name%.*}\" ;;"
                       " *) dir=\"$out/$model\" ;; esac\n"
                       "  mkdir -p \"$dir\"\n"
                       "  printf ' 33%%|###   \\r 67%%|#####  \\r100%%|#######\\r\\n'\n"
                       "  for s in $stems; do %1 || exit 9; done\n"
                       "done\n%2\nexit %3")
            .arg(s.writeStem, s.beforeExit)
            .arg(s.status);
    return ws.writeScript(relative, body);
}

// A converter that records its arguments and writes "converted:" plus the
// source into the destination. Files in controlDir, named after the source's
// file name, steer it:
//   fail-NAME  it prints that file's contents and fails;
//   hold-NAME  it writes "partial" into the destination, records its process
//              id in pid-NAME and waits while hold-NAME exists.
// Each run appends "NAME RUNNING" to controlDir/starts, RUNNING being how
// many runs (itself included) are under way at its start.
inline QString writeFakeConverter(const TempWorkspace& ws, const QString& path, const QString& argsFile,
                                  const QString& controlDir)
{
    const QString relative = QDir(ws.root()).relativeFilePath(path);
    return ws.writeScript(
        relative,
        recordArgsLines(argsFile) +
            QStringLiteral("\nprev=; for a in \"$@\"; do [ \"$prev\" = -i ] && src=$a; prev=$a; dest=$a; done\n"
                           "ctl=%1; name=$(basename \"$src\")\n"
                           "mkdir -p \"$ctl/running\"; : > \"$ctl/running/$name\"\n"
                           "echo \"$name $(ls \"$ctl/running\" | wc -l)\" >> \"$ctl/starts\"\n"
                           "if [ -e \"$ctl/hold-$name\" ]; then\nprintf partial > \"$dest\"\n")
                .arg(shellQuote(controlDir)) +
            holdShell(QStringLiteral("\"$ctl/pid-$name\""), QStringLiteral("\"$ctl/hold-$name\"")) +
            QStringLiteral("\nfi\nstatus=0\n"
                           "if [ -e \"$ctl/fail-$name\" ]; then cat \"$ctl/fail-$name\"; status=1;\n"
                           "else { printf 'converted:'; cat \"$src\"; } > \"$dest\"; fi\n"
                           "rm -f \"$ctl/running/$name\"\nexit $status"));
}

// The names of the converter runs in the order they started (from controlDir/starts)
// and the most that ran at once.
struct ConverterStarts {
    QStringList names;
    int mostAtOnce = 0;
};
inline ConverterStarts readConverterStarts(const QString& controlDir)
{
    ConverterStarts starts;
    QFile f(controlDir + QStringLiteral("/starts"));
    if (!f.open(QIODevice::ReadOnly))
        return starts;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 2)
            continue;
        starts.names << QString::fromUtf8(fields.at(0));
        starts.mostAtOnce = std::max(starts.mostAtOnce, fields.at(1).toInt());
    }
    return starts;
}

// The process id a held fake tool recorded, 0 when there is none (yet).
inline qint64 recordedPid(const QString& pidFile)
{
    QFile f(pidFile);
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toLongLong() : 0;
}

// Every entry below folder, hidden ones included, with the contents of each
// file (folders end in "/"): two snapshots are equal only when nothing in
// the folder was added, removed or changed.
inline QMap<QString, QByteArray> folderSnapshot(const QString& folder)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        const QString relative = QDir(folder).relativeFilePath(info.filePath());
        if (info.isDir()) {
            entries.insert(relative + QLatin1Char('/'), {});
        } else {
            QFile f(info.filePath());
            entries.insert(relative, f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>"));
        }
    }
    return entries;
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
             QStringLiteral("-show_entries"), QStringLiteral("stream=codec_name,sample_rate,channels,bit_rate,bits_per_raw_sample,sample_fmt:format=format_name"),
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
