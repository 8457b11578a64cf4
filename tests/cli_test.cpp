#include "support/AppSupport.h"
#include "base/Version.h"
#include "process/Ownership.h"
#include "cli/Runner.h"
#include "cli/CommandLine.h"
#include "cli/StatusReport.h"
#include "cli/Terminal.h"
#include "mixer/MixJob.h"
#include "mixer_fixtures.h"
#include "separation_fixtures.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QJsonArray>
#include <QLineEdit>
#include <QSettings>

#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#ifdef Q_OS_MACOS
#include <util.h>  // openpty
#else
#include <pty.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

using cli::CommandKind;

TEST(CommandLine, ReadsEveryCommandWithItsOptionsInAnyOrder)
{
    const QStringList browsers{"Firefox", "Chrome"};
    const auto parse = [&](const QStringList& args) { return cli::parseCommandLine(args, browsers); };

    EXPECT_EQ(parse({}).command->kind, CommandKind::window);
    const cli::ParseResult get = parse({"get", "--stems=4", "https://a/x", "--format", "FLAC", "--best", "--to", "out",
                                        "--cookies-from-browser", "firefox", "--json", "--", "--odd-name"});
    ASSERT_TRUE(get.command) << get.error.toStdString();
    EXPECT_EQ(get.command->kind, CommandKind::get);
    EXPECT_EQ(get.command->inputs, (QStringList{"https://a/x", "--odd-name"}));
    EXPECT_EQ(get.command->stems, 4);
    EXPECT_EQ(get.command->format, separation::ExportFormat::flac);
    EXPECT_TRUE(get.command->bestQuality && get.command->json);
    EXPECT_EQ(get.command->saveFolder, "out");
    EXPECT_EQ(get.command->cookiesBrowser, std::optional<QString>("Firefox"));

    // Not given means the window's choice; "none" means none.
    const cli::Command plain = *parse({"download", "u"}).command;
    EXPECT_FALSE(plain.cookiesBrowser.has_value());
    EXPECT_EQ(plain.stems, 6);
    EXPECT_EQ(plain.format, separation::ExportFormat::aac);
    EXPECT_EQ(parse({"download", "u", "--cookies-from-browser", "NONE"}).command->cookiesBrowser,
              std::optional<QString>(QString()));

    const cli::Command update = *parse({"install", "--update", "yt-dlp"}).command;
    EXPECT_EQ(update.kind, CommandKind::installYtDlp);
    EXPECT_TRUE(update.update && update.inputs.isEmpty());
    EXPECT_TRUE(parse({"install", "demucs", "--rebuild"}).command->rebuild);
    EXPECT_EQ(parse({"separate", "a.wav", "-h"}).command->helpTopic, "separate");
    EXPECT_EQ(parse({"help", "get"}).command->helpTopic, "get");
    EXPECT_EQ(parse({"--version"}).command->kind, CommandKind::version);
}

TEST(CommandLine, WrongUsageSaysWhatIsWrong)
{
    const QList<std::pair<QStringList, QString>> cases = {
        {{"split", "a"}, "Unknown command: split"},
        {{"--stems", "4"}, "Unknown option: --stems"},
        {{"separate"}, "separate needs at least one file."},
        {{"get", "--json"}, "get needs at least one URL."},
        {{"get", "u", "--to"}, "--to needs a value: DIR"},
        {{"download", "u", "--stems", "4"}, "download does not take --stems."},
        {{"install", "demucs", "--update"}, "install does not take --update."},
        {{"install"}, "install takes yt-dlp or demucs."},
        {{"install", "yt-dlp", "demucs"}, "install takes yt-dlp or demucs."},
        {{"separate", "f", "--stems", "5"}, "--stems takes 2, 4 or 6, not \"5\"."},
        {{"separate", "f", "--format=mp3"}, "--format takes m4a, flac or wav, not \"mp3\"."},
        {{"get", "u", "--cookies-from-browser", "safari"}, "takes firefox, chrome or none, not \"safari\"."},
        {{"separate", "f", "--best=yes"}, "--best takes no value."},
        {{"separate", "f", "--to="}, "--to needs a folder."},
        {{"status", "now"}, "status takes no arguments."},
        {{"--version", "x"}, "--version takes no arguments."},
        {{"help", "nothing"}, "help takes one command name."},
        {{"separate", "f", "--best", "--stems", "6"},
         "--best applies to two or four stems only; there is no fine-tuned six-stem model."},
        {{"get", "u", "--stems=6", "--best"},
         "--best applies to two or four stems only; there is no fine-tuned six-stem model."},
    };
    for (const auto& [args, expected] : cases) {
        const cli::ParseResult result = cli::parseCommandLine(args, {"Firefox", "Chrome"});
        EXPECT_FALSE(result.command) << args.join(' ').toStdString();
        EXPECT_TRUE(result.error.contains(expected)) << result.error.toStdString();
    }

    // A word that names a file in the current folder gets the way out.
    TempWorkspace ws;
    ws.writeFile("-take1.wav", "x");
    const QString previous = QDir::currentPath();
    QDir::setCurrent(ws.root());
    const QString named = cli::parseCommandLine({"separate", "-take1.wav"}, {}).error;
    const QString unnamed = cli::parseCommandLine({"separate", "-take2.wav"}, {}).error;
    QDir::setCurrent(previous);
    EXPECT_EQ(named, "Unknown option: -take1.wav (use -- before file names that start with -)");
    EXPECT_EQ(unnamed, "Unknown option: -take2.wav");
}

TEST(CommandLine, CommandsAndTheirWordsOpenTheCommandLineAndQtsOptionsTheWindow)
{
    const QList<QStringList> commandLine = {
        {"status"}, {"help"}, {"-h"}, {"--help", "get"}, {"--version"}, {"get", "-platform", "x"},
        {"song.wav"}, {"-"},  // words: usage errors, not a window
        {"--stems", "4"}, {"--to=/tmp", "get"},  // the commands' options, given first by mistake
        {"play"}, {"play", "a", "b"}, {"play", "--help"},  // no folder to open: usage
    };
    for (const QStringList& args : commandLine)
        EXPECT_TRUE(cli::opensCommandLine(args)) << args.join(' ').toStdString();
    const QList<QStringList> window = {
        {}, {"-session", "1a2b3c"}, {"-platform", "offscreen"}, {"-style", "Fusion"}, {"-reverse"},
        {"--platform=xcb"}, {"-qwindowgeometry", "800x600", "status"},
        {"play", "stems/Song"},  // the mixer, in the window
    };
    for (const QStringList& args : window)
        EXPECT_FALSE(cli::opensCommandLine(args)) << args.join(' ').toStdString();
}

TEST(CommandLine, HelpAndTheManualPageDescribeEveryCommandAndOption)
{
    const QString help = cli::helpText({"Firefox"});
    QFile manual(STEMLOFT_BUILD_DIR "/stemloft.1");
    ASSERT_TRUE(manual.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(manual.readAll());
    QStringList words = cli::optionNames();
    words << "download" << "separate" << "get" << "install" << "status" << "mix" << "play" << "yt-dlp" << "demucs"
          << "130" << "143";
    for (const QString& word : words) {
        EXPECT_TRUE(help.contains(word)) << word.toStdString();
        // roff spells a hyphen "\-" where it must not break or become a dash.
        EXPECT_TRUE(page.contains(word) || page.contains(QString(word).replace("-", "\\-"))) << word.toStdString();
    }
    for (const char* topic : {"", "download", "separate", "get", "install", "status", "mix", "play"}) {
        for (const QString& line : cli::helpText({"Firefox", "Chrome", "Chromium", "Brave", "Edge"}, topic).split('\n'))
            EXPECT_LE(line.size(), 80) << line.toStdString();
    }
}

TEST(Terminal, DrawsOneProgressLineOnATerminalAndNothingElsewhere)
{
    EXPECT_EQ(cli::progressLine("Separating: Demucs 57%", 57, 72), "Separating: Demucs 57% [#####.....] 1:12 left");
    EXPECT_EQ(cli::progressLine("Checking Demucs", -1, std::nullopt), "Checking Demucs");
    EXPECT_EQ(cli::progressLine("Downloading 100%", 100, 0), "Downloading 100% [##########]");
    EXPECT_EQ(cli::durationText(3725), "1:02:05");

    cli::TimeLeft left;
    left.update(0, 10);
    left.update(500, 20);
    EXPECT_FALSE(left.secondsLeft()) << "half a second is too little to tell";
    left.update(10000, 50);
    EXPECT_EQ(left.secondsLeft(), 13) << "40 points in 10 s leave 50 points: 12.5 s, rounded up";
    left.update(11000, 5);
    EXPECT_FALSE(left.secondsLeft()) << "a step back (the next item) starts over";

    // A quick conversion (5 points in 2 s) says nothing of minutes of Demucs after it.
    QBuffer screenOut, screenErr;
    screenOut.open(QIODevice::WriteOnly);
    screenErr.open(QIODevice::WriteOnly);
    cli::Terminal screen(screenOut, screenErr, true, 200);
    screen.stage("Separating: Converting");
    screen.progress(0);
    QThread::msleep(1100);
    screen.stage("Separating: Demucs 0%");
    screen.progress(5);
    QThread::msleep(1100);
    screen.stage("Separating: Demucs 1%");
    screen.progress(6);
    // 1 point in at least 1.1 s and 94 to go: over 1:43. Counted from the conversion it
    // would be 6 points in 2.2 s, about 0:35.
    const QString shown = QString::fromUtf8(screenErr.data());
    const QRegularExpressionMatch estimate = QRegularExpression(" (\\d+):(\\d\\d) left$").match(shown);
    ASSERT_TRUE(estimate.hasMatch()) << shown.toStdString();
    EXPECT_GE(estimate.captured(1).toInt() * 60 + estimate.captured(2).toInt(), 103) << shown.toStdString();

    QBuffer out, err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    cli::Terminal terminal(out, err, true, 20);
    terminal.stage("Downloading 50% of a long title");
    terminal.progress(50);
    terminal.logEntries({"a line"});
    terminal.endProgress();
    EXPECT_EQ(out.data(), "a line\n");
    const QByteArray bar = "\rDownloading 50% of ";  // cut to the terminal's width less one
    const QByteArray blank = "\r" + QByteArray(19, ' ') + "\r";
    EXPECT_EQ(err.data(), bar + bar + blank + bar + blank);

    QBuffer out2, err2;
    out2.open(QIODevice::WriteOnly);
    err2.open(QIODevice::WriteOnly);
    cli::Terminal pipe(out2, err2, false);
    pipe.stage("Downloading 50%");
    pipe.progress(50);
    pipe.alert("Download Complete", "Saved.");
    EXPECT_EQ(err2.data(), "Download Complete: Saved.\n");
    EXPECT_TRUE(out2.data().isEmpty());
}

TEST(StatusReport, VersionIsTheFirstWordThatStartsWithADigit)
{
    EXPECT_EQ(cli::versionFromOutput("ffmpeg version 5.1.6-0+deb12u1 Copyright (c) 2000\nbuilt with gcc 12\n"),
              "5.1.6-0+deb12u1");
    EXPECT_EQ(cli::versionFromOutput("2025.01.15\n"), "2025.01.15");
    EXPECT_EQ(cli::versionFromOutput("\ndeno 2.1.4 (stable, release)\nv8 13\n"), "2.1.4");
    EXPECT_EQ(cli::versionFromOutput("Info-ZIP UnZip\n"), "Info-ZIP UnZip");
}

namespace {

// The command line in this process on a test profile: a fake yt-dlp that
// copies a real recording, the stand-in Demucs and the real ffmpeg.
class CommandLineRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        profile = makeTestProfile(ws);
        profile.converterPath = "/usr/bin/ffmpeg";
        app = makeApp(profile, false);
        save = ws.makeDir("save");
        song = ws.path("music/song.wav");
        QDir().mkpath(ws.path("music"));
        ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=330:sample_rate=44100:duration=2", "-ac",
                                    "2", song}));
        standIn.argsFile = ws.path("demucs-args");
        standIn.probe = "echo 'stemloft-device: cpu'; exit 0";
        standIn.writeStem = "cp \"$in\" \"$dir/$s.wav\"";
        sepfix::writeStandInDemucs(ws, app->tools(), standIn);
        sepfix::provideWeights(app->tools());
        ws.writeScript("pathbin/yt-dlp",
                       recordArgsLines(ws.path("ytdlp-args")) +
                           "\n[ \"$1\" = --version ] && { echo 2099.01.02; exit 0; }\n"
                           "for a; do url=$a; done\n"
                           "case \"$url\" in *bad*) echo 'ERROR: [generic] bad: Video unavailable' >&2; exit 1;; esac\n"
                           "f=$PWD/$(basename \"$url\").wav\ncp " + shellQuote(song) +
                           " \"$f\"\necho \"$f\"\n");
    }

    int run(const QStringList& args, const cli::Asker& ask = {})
    {
        out.close();
        err.close();
        out.setData({});
        err.setData({});
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        cli::Io io;
        io.out = &out;
        io.err = &err;
        io.askRebuild = ask;
        return cli::run(args, profile, io);
    }
    QList<QJsonObject> jsonLines() const
    {
        QList<QJsonObject> objects;
        for (const QByteArray& line : out.data().split('\n')) {
            if (!line.isEmpty())
                objects << QJsonDocument::fromJson(line).object();
        }
        return objects;
    }
    QString output() const { return QString::fromUtf8(out.data()); }
    QString errors() const { return QString::fromUtf8(err.data()); }

    TempWorkspace ws;
    PlatformProfile profile;
    std::unique_ptr<TestApp> app;
    QString save, song;
    sepfix::StandIn standIn;
    QBuffer out, err;
};

}  // namespace

TEST_F(CommandLineRun, SeparateReportsEachFileAsJsonAndAFailureDoesNotStopTheRest)
{
    const QString missing = ws.path("music/gone.wav");
    const QString previous = QDir::currentPath();
    QDir::setCurrent(ws.path("music"));  // relative names are the current folder's
    const int status = run({"separate", "song.wav", "gone.wav", "--json", "--stems", "4", "--best", "--format",
                            "flac", "--to", ws.path("save")});
    QDir::setCurrent(previous);

    EXPECT_EQ(status, cli::exitFailed);
    const QList<QJsonObject> items = jsonLines();
    ASSERT_EQ(items.size(), 2) << output().toStdString();
    EXPECT_EQ(items[0]["input"].toString(), song);
    EXPECT_TRUE(items[0]["ok"].toBool());
    EXPECT_EQ(items[0]["stemsFolder"].toString(), save + "/stems/song");
    const QJsonObject manifest = items[0]["manifest"].toObject();
    EXPECT_EQ(manifest, sepfix::readJsonObject(save + "/stems/song/manifest.json"));
    EXPECT_EQ(manifest["model"].toString(), "htdemucs_ft");
    EXPECT_EQ(manifest["stems"].toArray().size(), 4);
    EXPECT_EQ(manifest["stems"].toArray()[0].toObject()["contentType"].toString(), "audio/flac");
    EXPECT_EQ(items[1]["input"].toString(), missing);
    EXPECT_FALSE(items[1]["ok"].toBool());
    EXPECT_EQ(items[1]["error"].toString(), "Audio file was not found: " + missing);
    EXPECT_TRUE(readRecordedArgs(standIn.argsFile).contains("--int24"));
    EXPECT_TRUE(errors().contains("Batch Finished With Failures: Finished 2 items: 1 succeeded, 1 failed.\n"
                                  "Failed: gone.wav (Audio file was not found: " + missing + ")"))
        << errors().toStdString();
}

TEST_F(CommandLineRun, AQueuesFailuresAreOnStandardErrorAndItsLogOnStandardOutput)
{
    const QString missing = ws.path("music/gone.wav");
    EXPECT_EQ(run({"separate", song, missing, "--to", save}), cli::exitFailed);
    const QString failed = "Failed: gone.wav (Audio file was not found: " + missing + ")\n";
    EXPECT_EQ(errors(), "Audio file was not found: " + missing + "\n" + failed +
                            "Batch Finished With Failures: Finished 2 items: 1 succeeded, 1 failed.\n" + failed);
    EXPECT_TRUE(output().contains("[2/2] gone.wav\nFinished 2 items: 1 succeeded, 1 failed.\n")) << output().toStdString();
    EXPECT_TRUE(output().contains("Saved stems: " + save + "/stems/song\n"));
    EXPECT_FALSE(output().contains("Failed")) << output().toStdString();
}

TEST_F(CommandLineRun, BestMeansTheFineTunedModelForFourOrTwoStemsAndNeverSix)
{
    EXPECT_EQ(run({"separate", song, "--stems", "6", "--best"}), cli::exitUsage);
    EXPECT_EQ(errors(),
              "stemloft: --best applies to two or four stems only; there is no fine-tuned six-stem model.\n" +
                  cli::usageText());
    EXPECT_EQ(output(), "");
    EXPECT_FALSE(QFileInfo::exists(standIn.argsFile)) << "a usage error runs nothing";

    EXPECT_EQ(run({"separate", song, "--best", "--to", save}), cli::exitSucceeded) << errors().toStdString();
    const QStringList args = readRecordedArgs(standIn.argsFile);
    EXPECT_EQ(args.mid(args.indexOf("--name"), 2), (QStringList{"--name", "htdemucs_ft"})) << args.join(' ').toStdString();
    const QJsonObject manifest = sepfix::readJsonObject(save + "/stems/song/manifest.json");
    EXPECT_EQ(manifest["model"].toString(), "htdemucs_ft");
    EXPECT_EQ(manifest["stems"].toArray().size(), 4);

    EXPECT_EQ(run({"separate", song, "--stems", "2", "--best", "--to", save}), cli::exitSucceeded)
        << errors().toStdString();
    const QStringList two = readRecordedArgs(standIn.argsFile);
    EXPECT_EQ(two.mid(two.indexOf("--name"), 2), (QStringList{"--name", "htdemucs_ft"}));
    EXPECT_EQ(two.mid(two.indexOf("--two-stems"), 2), (QStringList{"--two-stems", "vocals"}));
    const QJsonObject twoStems = sepfix::readJsonObject(save + "/stems/song/manifest.json");
    EXPECT_EQ(twoStems["mode"].toString(), "2stems");
    QStringList kinds;
    for (const QJsonValue& stem : twoStems["stems"].toArray())
        kinds << stem.toObject()["kind"].toString();
    EXPECT_EQ(kinds, (QStringList{"vocals", "instrumental"}));
    EXPECT_TRUE(QFileInfo::exists(save + "/stems/song/instrumental.m4a"));
}

TEST_F(CommandLineRun, GetAndDownloadUseTheWindowsSaveFolderAndCookiesUnlessTold)
{
    {
        QSettings settings(profile.settingsFile, QSettings::IniFormat);
        settings.setValue("saveFolder", save);
        settings.setValue("cookiesFromBrowser", "chrome");
    }
    EXPECT_EQ(run({"get", "https://example.com/v/first"}), cli::exitSucceeded) << errors().toStdString();
    QStringList args = readRecordedArgs(ws.path("ytdlp-args"));
    EXPECT_EQ(args.mid(args.indexOf("--cookies-from-browser"), 2), (QStringList{"--cookies-from-browser", "chrome"}));
    EXPECT_TRUE(QFileInfo::exists(save + "/stems/first/manifest.json"));
    EXPECT_FALSE(errors().contains("Download Complete")) << "one run, one alert: the separation's";
    EXPECT_TRUE(errors().startsWith("Stem Separation Complete: ")) << errors().toStdString();

    QFile::remove(ws.path("ytdlp-args"));
    const QString other = ws.makeDir("other");
    EXPECT_EQ(run({"download", "https://example.com/v/second", "https://example.com/v/bad", "--to", other,
                   "--cookies-from-browser", "none", "--json"}),
              cli::exitFailed);
    EXPECT_FALSE(readRecordedArgs(ws.path("ytdlp-args")).contains("--cookies-from-browser"));
    const QList<QJsonObject> items = jsonLines();
    ASSERT_EQ(items.size(), 2) << output().toStdString();
    EXPECT_EQ(items[0]["audioFile"].toString(), other + "/second.wav");
    EXPECT_FALSE(items[0].contains("stemsFolder"));
    EXPECT_EQ(items[1]["error"].toString(), "[generic] bad: Video unavailable");
    EXPECT_FALSE(QFileInfo::exists(other + "/stems"));
}

TEST_F(CommandLineRun, MissingToolsEndTheRunBeforeAnyJob)
{
    QFile::remove(ws.path("pathbin/yt-dlp"));
    EXPECT_EQ(run({"get", "https://example.com/v/a"}), cli::exitFailed);
    EXPECT_EQ(errors(), "yt-dlp was not found.\nRun stemloft install yt-dlp, then try again.\n");
    EXPECT_EQ(output(), "") << "a log sent to a file would hide why nothing ran";

    QFile::remove(app->tools().managedDemucsPython());
    EXPECT_EQ(run({"separate", song, song, "--json"}), cli::exitFailed);
    const QList<QJsonObject> items = jsonLines();
    ASSERT_EQ(items.size(), 2) << "one object per input, even when nothing ran";
    EXPECT_EQ(items[1]["error"].toString(), "Demucs is not installed. Run stemloft install demucs, then try again.");
    EXPECT_EQ(out.data().count('\n'), 2) << "standard output holds the objects only";
    EXPECT_EQ(errors(), "Demucs is not installed.\nRun stemloft install demucs, then try again.\n");
    EXPECT_FALSE(QFileInfo::exists(save + "/stems"));
}

TEST_F(CommandLineRun, InstallYtDlpInstallsOnceAndUpdatesOnlyWhenAsked)
{
    ws.writeScript("pathbin/deno", "echo deno 1.0");
    // The checksum list names the digest of whatever the tool's download wrote.
    ws.writeScript("tools/curl", "case \"$5\" in\n*/SHA2-256SUMS) printf '%s  %s\\n' "
                                 "\"$(sha256sum < \"${7%/*}/yt-dlp.download\" | cut -c1-64)\" " +
                                     shellQuote(profile.ytDlpReleaseAsset) + " > \"$7\" ;;\n*) echo run >> " +
                                     shellQuote(ws.path("curl-runs")) + "\nprintf 'new tool' > \"$7\" ;;\nesac");
    const QString installed = ws.path("home/.local/share/Stemloft/yt-dlp");

    EXPECT_EQ(run({"install", "yt-dlp"}), cli::exitSucceeded) << output().toStdString();
    EXPECT_EQ(ws.readFile("home/.local/share/Stemloft/yt-dlp"), "new tool");
    EXPECT_EQ(QSettings(profile.settingsFile, QSettings::IniFormat).value("ytDlpPath").toString(), installed);
    EXPECT_TRUE(errors().contains("yt-dlp Installed: ")) << errors().toStdString();

    EXPECT_EQ(run({"install", "yt-dlp"}), cli::exitSucceeded);
    EXPECT_EQ(output(), "yt-dlp is already installed.\n" + installed + "\n");
    EXPECT_EQ(errors(), "yt-dlp Already Installed: You can download reference audio without installing again.\n");
    EXPECT_EQ(ws.readFile("curl-runs"), "run\n");

    EXPECT_EQ(run({"install", "yt-dlp", "--update"}), cli::exitSucceeded);
    EXPECT_EQ(ws.readFile("curl-runs"), "run\nrun\n");
}

TEST_F(CommandLineRun, ABrokenEnvironmentIsDeletedOnlyWhenSomeoneSaidSo)
{
    standIn.probe = "echo 'ModuleNotFoundError: No module named torch'; exit 1";
    const QString python = sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    // A Python to rebuild with, whose venv step fails: the question comes first.
    ws.writeScript("opt/homebrew/bin/python3.12", "case \"$2\" in *ensurepip*) exit 0;; "
                                                  "*'version_info[:3]'*) echo 3.12.4; exit 0;; esac; exit 1");

    EXPECT_EQ(run({"install", "demucs"}), cli::exitFailed);
    EXPECT_TRUE(errors().contains("failed its check")) << errors().toStdString();
    EXPECT_TRUE(errors().contains("Run stemloft install demucs --rebuild to delete it and install again."));
    EXPECT_TRUE(QFileInfo::exists(python));

    QString asked;
    EXPECT_EQ(run({"install", "demucs"},
                  [&](const QString& question, std::function<void(bool)> answer) {
                      asked = question;
                      answer(false);
                  }),
              cli::exitFailed);
    EXPECT_TRUE(asked.startsWith("Rebuild Demucs Environment? The Demucs environment at ")) << asked.toStdString();
    EXPECT_TRUE(output().contains("The Demucs environment was left as it is."));
    EXPECT_TRUE(QFileInfo::exists(python));

    EXPECT_EQ(run({"install", "demucs", "--rebuild"}), cli::exitFailed) << "the venv step fails";
    EXPECT_FALSE(QFileInfo::exists(python)) << "the broken environment was deleted without a question";
}

TEST_F(CommandLineRun, StatusNamesEachToolWithItsVersionAndTheEnvironmentsState)
{
    EXPECT_EQ(run({"status", "--json"}), cli::exitSucceeded);
    const QList<QJsonObject> objects = jsonLines();
    ASSERT_EQ(objects.size(), 1);
    QMap<QString, QJsonObject> tools;
    for (const QJsonValue& tool : objects[0]["tools"].toArray())
        tools.insert(tool["name"].toString(), tool.toObject());
    EXPECT_EQ(tools["yt-dlp"]["path"].toString(), ws.path("pathbin/yt-dlp"));
    EXPECT_EQ(tools["yt-dlp"]["version"].toString(), "2099.01.02");
    EXPECT_FALSE(tools["ffmpeg"]["version"].toString().isEmpty());
    EXPECT_TRUE(tools["curl"]["path"].isNull()) << "the profile's curl was never written";
    EXPECT_TRUE(tools.contains("Deno") && tools.contains("Python") && tools.contains("unzip"));
    const QJsonObject environment = objects[0]["demucsEnvironment"].toObject();
    EXPECT_EQ(environment["state"].toString(), "ready");
    EXPECT_EQ(environment["device"].toString(), "CPU");
    EXPECT_EQ(objects[0]["saveFolder"].toString(), profile.downloadsDir);

    EXPECT_EQ(run({"status"}), cli::exitSucceeded);
    EXPECT_TRUE(output().contains("\nyt-dlp: " + ws.path("pathbin/yt-dlp") + " (2099.01.02)\n"));
    EXPECT_TRUE(output().contains("\ncurl: not found\n"));
    EXPECT_TRUE(output().contains("\nDemucs environment: " + ws.path("home/.local/share/Stemloft/demucs-env") +
                                  " (ready, CPU)\n"))
        << output().toStdString();

    // Not at their fixed places, curl and unzip are looked for in the system
    // folders, then on PATH; what cannot run is passed over. The converter at
    // its fixed place wins over one on PATH.
    ws.writeScript("pathbin/curl", "echo 'curl 8.99.1 (x86_64-pc-linux-gnu)'");
    ws.writeFile("sys/local/unzip", "not a program");
    ws.writeScript("pathbin/unzip", "echo 'UnZip 6.10 of 1 May 2026, by Debian.'");
    ws.writeScript("pathbin/ffmpeg", "echo 'ffmpeg version 0.0.1'");
    EXPECT_EQ(run({"status"}), cli::exitSucceeded);
    EXPECT_TRUE(output().contains("\ncurl: " + ws.path("pathbin/curl") + " (8.99.1)\n")) << output().toStdString();
    EXPECT_TRUE(output().contains("\nunzip: " + ws.path("pathbin/unzip") + " (6.10)\n"));
    EXPECT_TRUE(output().contains("\nffmpeg: " + profile.converterPath + " (")) << output().toStdString();
    EXPECT_EQ(app->tools().findTool(ws.path("tools/unzip")), ws.path("pathbin/unzip"));
    EXPECT_EQ(app->tools().findTool(ws.path("tools/wget")), std::nullopt);
}

namespace {

// The installed program itself, as a script starts it: no display, the
// folders of a test home.
class Program : public CommandLineRun {
protected:
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        env.insert("HOME", ws.path("home"));
        env.insert("XDG_DATA_HOME", ws.path("home/.local/share"));
        env.insert("XDG_CONFIG_HOME", ws.makeDir("config"));
        env.insert("TMPDIR", profile.tempDir);
        env.insert("PATH", ws.path("pathbin") + ":/usr/bin:/bin");
        return env;
    }
    void start(QProcess& process, const QStringList& args) const
    {
        process.setProcessEnvironment(environment());
        process.start(STEMLOFT_BINARY, args);
    }
};

}  // namespace

TEST_F(Program, RunsWithoutADisplayWithTheWindowsDefaultsAndExitStatuses)
{
    // The window's run of the song first: six stems, its save folder.
    app->applicationDidFinishLaunching();
    app->folderField->setText(save);
    app->setLastAudioURL(song);
    app->startSeparation();
    ASSERT_TRUE(waitIdle(*app, 60000));
    QJsonObject window = sepfix::readJsonObject(save + "/stems/song/manifest.json");
    ASSERT_EQ(window["stems"].toArray().size(), 6);

    QProcess program;
    start(program, {"separate", song, "--to", save});
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    const QString log = QString::fromUtf8(program.readAllStandardOutput());
    EXPECT_TRUE(log.contains("\nSaved stems: " + save + "/stems/song\n")) << log.toStdString();
    QJsonObject terminal = sepfix::readJsonObject(save + "/stems/song/manifest.json");
    EXPECT_NE(terminal["createdAt"], QJsonValue());
    window.remove("createdAt");
    terminal.remove("createdAt");
    EXPECT_EQ(terminal, window);

    start(program, {"separate", song, "--stems", "5"});
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitCode(), cli::exitUsage);
    EXPECT_TRUE(program.readAllStandardError().contains("--stems takes 2, 4 or 6, not \"5\".\nUsage:\n"));

    start(program, {"--version"});
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_EQ(program.readAllStandardOutput(), ("Stemloft " + applicationVersion() + "\n").toUtf8());
}

// A session restore passes -session ID, and Qt's options go with it: the
// window opens, where the command line would have ended with a usage error.
TEST_F(Program, TheSessionManagersAndQtsOptionsOpenTheWindow)
{
    ws.writeScript("pathbin/yt-dlp", "echo 2099.01.02");  // found: no install at launch
    QProcess window;
    start(window, {"-session", "1a2b3c", "-platform", "offscreen"});
    ASSERT_TRUE(window.waitForStarted());
    EXPECT_FALSE(window.waitForFinished(3000)) << window.readAll().toStdString();
    ::kill(pid_t(window.processId()), SIGTERM);  // as a logout does
    ASSERT_TRUE(window.waitForFinished(10000));
    EXPECT_EQ(window.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(window.exitCode(), 0);
    EXPECT_FALSE(window.readAllStandardError().contains("Unknown option"));
}

TEST_F(Program, OnATerminalDemucsBarsGiveWayToTheProgressLine)
{
    QProcess piped;
    start(piped, {"separate", song, "--to", save});
    ASSERT_TRUE(piped.waitForFinished(60000));
    EXPECT_TRUE(piped.readAllStandardOutput().contains("\n67%|#####\n")) << "a log for a file keeps every line";

    // On a pseudo-terminal, as in a terminal window: standard output and error are both the terminal.
    QList<QByteArray> words{STEMLOFT_BINARY, "separate", song.toUtf8(), "--to", ws.makeDir("save2").toUtf8()};
    for (const QString& variable : environment().toStringList())
        words << variable.toUtf8();
    std::vector<char*> pointers;
    for (QByteArray& word : words)
        pointers.push_back(word.data());
    pointers.insert(pointers.begin() + 5, nullptr);
    pointers.push_back(nullptr);
    winsize size{24, 100, 0, 0};
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execve(pointers[0], pointers.data(), pointers.data() + 6);
        ::_exit(127);
    }
    QByteArray screen;
    char buffer[4096];
    ssize_t n = 0;
    pollfd ready{terminal, POLLIN, 0};
    // Until EIO: the program and its children closed the terminal.
    while (::poll(&ready, 1, 60000) > 0 && (n = ::read(terminal, buffer, sizeof buffer)) > 0)
        screen.append(buffer, n);
    ::kill(pid, SIGKILL);  // in case it hangs
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(terminal);

    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen.toStdString();
    EXPECT_TRUE(screen.contains("\rSeparating: Demucs ")) << screen.toStdString();
    EXPECT_TRUE(screen.contains("Loading model htdemucs_6s\r\n") && screen.contains("Saved stems: "));
    EXPECT_FALSE(screen.contains("%|")) << screen.toStdString();
}

TEST_F(Program, CtrlCMidSeparationStopsDemucsAndLeavesNothingBehind)
{
    const QString pidFile = ws.path("demucs-pid");
    const QString holdFile = ws.writeFile("hold", "");
    standIn.beforeExit = sepfix::holdLines(pidFile, holdFile);
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);

    QProcess program;
    start(program, {"separate", song, "--to", save});
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(pidFile); }, 30000));
    const qint64 demucs = sepfix::recordedPid(pidFile);
    ASSERT_TRUE(processAlive(demucs));
    ::kill(pid_t(program.processId()), SIGINT);
    ASSERT_TRUE(program.waitForFinished(30000));

    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 130);
    EXPECT_TRUE(program.readAllStandardOutput().contains("Stopped."));
    EXPECT_FALSE(processAlive(demucs));
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(save + "/stems"));
}

TEST_F(Program, TwoRunsAtOnceEachKeepTheirOwnStems)
{
    // Another file of the same name, another sound.
    const QString other = ws.path("music/b/song.wav");
    QDir().mkpath(ws.path("music/b"));
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=550:sample_rate=44100:duration=2", "-ac", "2",
                                other}));
    const QString hold = ws.writeFile("hold", "");
    standIn.beforeExit = sepfix::holdShell("\"$in.pid\"", shellQuote(hold));
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);

    QProcess first, second, again;
    start(first, {"separate", song, "--to", save, "--json"});
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(song + ".pid"); }, 30000));
    start(second, {"separate", other, "--to", save, "--json"});
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(other + ".pid"); }, 30000));
    // The same file while its first run goes on: refused before any work.
    start(again, {"separate", ws.path("music/./song.wav"), "--to", save});
    ASSERT_TRUE(again.waitForFinished(30000));
    EXPECT_EQ(again.exitCode(), cli::exitFailed);
    EXPECT_TRUE(again.readAllStandardError().contains(
        QStringLiteral("Stem Separation Failed: song.wav is already being separated by another Stemloft "
                       "(process %1).")
            .arg(first.processId())
            .toUtf8()));

    QFile::remove(hold);
    ASSERT_TRUE(first.waitForFinished(60000) && second.waitForFinished(60000));
    ASSERT_EQ(first.exitCode(), 0) << first.readAllStandardError().toStdString();
    ASSERT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    const QJsonObject one = QJsonDocument::fromJson(first.readAllStandardOutput()).object();
    const QJsonObject two = QJsonDocument::fromJson(second.readAllStandardOutput()).object();
    EXPECT_EQ(one["stemsFolder"].toString(), save + "/stems/song");
    EXPECT_EQ(two["stemsFolder"].toString(), save + "/stems/song (2)");
    // What each reported is what is on disk, and each holds its own file's stems.
    for (const auto& [result, source] : {std::pair{one, song}, std::pair{two, other}}) {
        const QString folder = result["stemsFolder"].toString();
        EXPECT_EQ(result["manifest"].toObject(), sepfix::readJsonObject(folder + "/manifest.json"));
        EXPECT_EQ(result["manifest"].toObject()["sourceAudioPath"].toString(), source);
        EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 7)
            << "six stems and the manifest, nothing of the claim";
    }
    EXPECT_NE(QFile(save + "/stems/song/bass.m4a").size(), 0);
    EXPECT_NE(ws.readFile("save/stems/song/bass.m4a"), ws.readFile("save/stems/song (2)/bass.m4a"));
}

TEST_F(Program, WhatAKilledRunLeftIsSweptByTheNextStartOfEither)
{
    // A download and a separation, each killed mid-run.
    const QString hold = ws.writeFile("hold", "");
    // The managed copy: the program itself finds it first.
    ws.writeScript("home/.local/share/Stemloft/yt-dlp", "p=\"$PWD/${9#temp:}/clip [x].m4a.part\"\nhead -c 4096 /dev/zero > \"$p\"\n" +
                                         sepfix::holdShell(shellQuote(ws.path("ytdlp-pid")), shellQuote(hold)));
    standIn.beforeExit = sepfix::holdLines(ws.path("demucs-pid"), hold);
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    QProcess download, separation;
    start(download, {"download", "https://example.com/v", "--to", save});
    start(separation, {"separate", song, "--to", save});
    ASSERT_TRUE(waitUntil(
        [&] { return QFileInfo::exists(ws.path("ytdlp-pid")) && QFileInfo::exists(ws.path("demucs-pid")); }, 30000))
        << download.readAll().toStdString() << separation.readAll().toStdString();
    // An encode the kill cut short.
    ws.writeFile("save/stems/song/.vocals.m4a.0a1b2c3d-0000-4000-8000-00000000000f.tmp", QByteArray(8192, 'x'));
    download.kill();
    separation.kill();
    ASSERT_TRUE(download.waitForFinished(10000) && separation.waitForFinished(10000));
    ASSERT_TRUE(waitUntil([&] { return !processAlive(sepfix::recordedPid(ws.path("demucs-pid"))); }));
    const QStringList privateFolders = QDir(save).entryList({".stemloft-download-*"}, QDir::Dirs | QDir::Hidden);
    ASSERT_EQ(privateFolders.size(), 1);
    ASSERT_EQ(sepfix::outputRoots(profile.tempDir).size(), 1);
    ASSERT_TRUE(QFileInfo::exists(save + "/stems/song/.stemloft-claim"));

    // A live run's folder, however new, stays.
    const QString live = ws.makeDir("save/.stemloft-download-live");
    ownership::writeOwnerFile(live, QCoreApplication::applicationPid());

    QProcess next;
    start(next, {"separate", ws.path("music/missing.wav"), "--to", save});
    ASSERT_TRUE(next.waitForFinished(30000));
    const QString log = QString::fromUtf8(next.readAllStandardOutput());
    EXPECT_TRUE(log.contains("Removed leftovers of an interrupted run (")) << log.toStdString();
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
    EXPECT_EQ(QDir(save).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{".stemloft-download-live"}))
        << "the killed run's folders go: the download's and the stems folder it made";

    // The window sweeps the same at its start, in the folder it shows.
    start(download, {"download", "https://example.com/v", "--to", save});
    QFile::remove(ws.path("ytdlp-pid"));
    ws.writeFile("hold", "");
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(ws.path("ytdlp-pid")); }, 30000));
    download.kill();
    ASSERT_TRUE(download.waitForFinished(10000));
    ASSERT_EQ(QDir(save).entryList({".stemloft-download-*"}, QDir::Dirs | QDir::Hidden).size(), 2);
    QSettings(profile.settingsFile, QSettings::IniFormat).setValue("saveFolder", save);
    app->applicationDidFinishLaunching();
    ASSERT_TRUE(waitUntil([&] { return logText(*app).contains("Removed leftovers of an interrupted run ("); }));
    EXPECT_EQ(QDir(save).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{".stemloft-download-live"}));
}

TEST_F(CommandLineRun, OnlyRegularFilesAreSeparated)
{
    const QString fifo = ws.path("music/pipe.wav");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    const QString folder = ws.makeDir("music/adir.wav");
    EXPECT_EQ(run({"separate", fifo, folder, song, "--json", "--to", save}), cli::exitFailed);
    const QList<QJsonObject> items = jsonLines();
    ASSERT_EQ(items.size(), 3) << output().toStdString();
    EXPECT_EQ(items[0]["error"].toString(), "pipe.wav is not an audio file.");
    EXPECT_EQ(items[1]["error"].toString(), "adir.wav is not an audio file.");
    EXPECT_TRUE(items[2]["ok"].toBool()) << "a failed item does not stop the queue";
    EXPECT_TRUE(readRecordedArgs(standIn.argsFile).contains(song));
    EXPECT_FALSE(readRecordedArgs(standIn.argsFile).join('\n').contains("adir"));
}

TEST_F(Program, AnEnvironmentInUseIsNotRebuiltUnderTheRun)
{
    // The check fails only for the install that comes while the separation runs.
    const QString broken = ws.path("broken");
    standIn.probe = "if [ -e " + shellQuote(broken) + " ]; then exit 1; fi; echo 'stemloft-device: cpu'; exit 0";
    const QString hold = ws.writeFile("hold", "");
    standIn.beforeExit = sepfix::holdLines(ws.path("demucs-pid"), hold);
    const QString python = sepfix::writeStandInDemucs(ws, app->tools(), standIn);
    QProcess separation, install;
    start(separation, {"separate", song, "--to", save});
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(ws.path("demucs-pid")); }, 30000));
    ws.writeFile("broken", "");

    start(install, {"install", "demucs", "--rebuild"});
    ASSERT_TRUE(install.waitForFinished(30000));
    EXPECT_EQ(install.exitCode(), cli::exitFailed);
    EXPECT_TRUE(install.readAllStandardError().contains(
        QStringLiteral("Demucs Install Failed: The Demucs environment is in use by another Stemloft (process %1). "
                       "Try again when it has finished.")
            .arg(separation.processId())
            .toUtf8()));
    EXPECT_TRUE(QFileInfo::exists(python));

    QFile::remove(hold);
    ASSERT_TRUE(separation.waitForFinished(60000));
    EXPECT_EQ(separation.exitCode(), 0) << separation.readAllStandardError().toStdString();
}

TEST_F(Program, KilledOutrightItLeavesNothingOfDemucsRunning)
{
    // Demucs's worker ignores SIGTERM and is no child of the program: only
    // a kill of Demucs's whole group, after a wait, ends it.
    const QString pidFile = ws.path("worker-pid");
    standIn.beforeExit = QString("sh -c \"trap '' TERM; exec sleep 60\" &\necho $! > %1.new && mv %1.new %1\nwait")
                             .arg(shellQuote(pidFile));
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);

    QProcess program;
    start(program, {"separate", song, "--to", save});
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(pidFile); }, 30000));
    const qint64 worker = sepfix::recordedPid(pidFile);
    ASSERT_TRUE(processAlive(worker));
    ::kill(pid_t(program.processId()), SIGKILL);
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_TRUE(waitUntil([&] { return !processAlive(worker); }, 3000)) << "the worker outlived the program";
    ::kill(pid_t(worker), SIGKILL);
}

TEST_F(Program, AReaderThatGoesAwayStopsTheRunAsCtrlCDoes)
{
    // Demucs talks until it is stopped; the reader takes one line, as head -1
    // does, and goes once Demucs runs.
    const QString pidFile = ws.path("demucs-pid");
    standIn.beforeExit =
        QString("echo $$ > %1.new && mv %1.new %1\nwhile :; do echo working; sleep 0.02; done").arg(shellQuote(pidFile));
    sepfix::writeStandInDemucs(ws, app->tools(), standIn);

    QProcess program, head;
    program.setStandardOutputProcess(&head);
    head.start("/bin/sh", {"-c", "IFS= read -r line; while [ ! -e \"$0\" ]; do sleep 0.02; done", pidFile});
    start(program, {"separate", song, "--to", save});
    ASSERT_TRUE(program.waitForFinished(30000));
    ASSERT_TRUE(head.waitForFinished(10000));

    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 141) << program.readAllStandardError().toStdString();
    ASSERT_TRUE(QFileInfo::exists(pidFile)) << "the run ended before Demucs";
    EXPECT_FALSE(processAlive(sepfix::recordedPid(pidFile)));
    EXPECT_TRUE(sepfix::outputRoots(profile.tempDir).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(save + "/stems"));
}

TEST_F(CommandLineRun, WordsTakeTheFirstResultAndAPlaylistAllItsEntries)
{
    // Listing: a search for "nothing" finds nothing, any other finds two; a
    // link containing "pl-" lists as many entries as the number after it,
    // each again a playlist when the link holds "nest". A download of a
    // "pl-" link reports a playlist.
    const QString runs = shellQuote(ws.path("runs"));
    ws.writeScript("pathbin/yt-dlp",
                   "for a; do url=$a; done\n"
                   "case \" $* \" in *' --flat-playlist '*)\n"
                   "  echo \"list $url\" >> " + runs + "\n"
                   "  case \"$url\" in\n"
                   "  ytsearch5:nothing*) ;;\n"
                   "  ytsearch5:*) echo '{\"id\": \"a1\", \"title\": \"Take Five\", \"url\": \"https://youtu.be/a1\"}'\n"
                   "    echo '{\"id\": \"b2\", \"title\": \"Blue Rondo\", \"url\": \"https://youtu.be/b2\"}';;\n"
                   "  *) n=${url##*pl-}; n=${n%%[!0-9]*}; i=0\n"
                   "    while [ $i -lt $n ]; do i=$((i+1)); "
                   "echo \"{\\\"title\\\": \\\"Entry $i\\\", \\\"url\\\": \\\"$url/e$i\\\"}\"; done;;\n"
                   "  esac; exit 0;;\n"
                   "esac\n"
                   "echo \"$url\" >> " + runs + "\n"
                   "case \"$url\" in *nest*) echo '[stemloft] playlist'; exit 0;; *pl-*/e*) ;; "
                   "*pl-*) echo '[stemloft] playlist'; exit 0;; esac\n"
                   "f=$PWD/$(basename \"$url\").wav\ncp " + shellQuote(song) + " \"$f\"\necho \"$f\"\n");
    const auto ran = [&] { return QString::fromUtf8(ws.readFile("runs")).split('\n', Qt::SkipEmptyParts); };

    EXPECT_EQ(run({"get", "dave brubeck - take five", "--to", save}), cli::exitSucceeded) << errors().toStdString();
    EXPECT_TRUE(output().startsWith("Searching YouTube for: dave brubeck - take five\n"
                                    "Found: Take Five (https://youtu.be/a1)\n"))
        << output().toStdString();
    EXPECT_EQ(ran(), (QStringList{"list ytsearch5:dave brubeck - take five", "https://youtu.be/a1"}));
    EXPECT_TRUE(QFileInfo::exists(save + "/stems/a1/manifest.json"));

    QFile::remove(ws.path("runs"));
    EXPECT_EQ(run({"download", "nothing here", "--to", save, "--json"}), cli::exitFailed);
    EXPECT_EQ(jsonLines().size(), 1);
    EXPECT_EQ(jsonLines().value(0)["error"].toString(), "Nothing was found for: nothing here");
    EXPECT_EQ(ran(), QStringList{"list ytsearch5:nothing here"});

    // No question on the command line; an entry that is a playlist again fails, it is not listed.
    QFile::remove(ws.path("runs"));
    EXPECT_EQ(run({"download", "https://example.com/pl-30", "https://example.com/nest-pl-1", "--to", save}),
              cli::exitFailed);
    EXPECT_EQ(ran().filter(QRegularExpression("/pl-30/e\\d+$")).size(), 30);
    EXPECT_EQ(ran().filter("list ").size(), 2);
    EXPECT_TRUE(output().contains("\n[31/31] Entry 1\n")) << output().toStdString();
    EXPECT_TRUE(errors().contains("Failed: Entry 1 (yt-dlp reports a playlist, not one recording.)"))
        << errors().toStdString();
    EXPECT_TRUE(output().contains("Finished 31 items: 30 succeeded, 1 failed.")) << output().toStdString();
}

TEST_F(CommandLineRun, MixWritesWhatTheMixersJobWritesAndNamesWhatIsWrong)
{
    const QString folder = mixfix::makeStemFolder(
        ws, "Tune", {{"vocals", "sine=f=440:d=2"}, {"drums", "anoisesrc=d=2:a=0.2"}, {"bass", "sine=f=110:d=2"}});
    const auto before = sepfix::folderSnapshot(folder);
    EXPECT_EQ(run({"mix", folder, "--mute", "Vocals", "--volume", "drums=0.5", "--tempo", "0.8", "--pitch", "-2",
                   "--format", "flac"}),
              cli::exitSucceeded)
        << errors().toStdString();
    const QString saved = folder + "/mixes/no vocals, drums 50% 80% tempo -2 semitones.flac";
    EXPECT_TRUE(output().endsWith("Saved the mix: " + saved + "\n")) << output().toStdString();

    // The window's Save Mix runs this job with these settings: the same bytes.
    mixer::MixJob::Params params;
    params.profile = profile;
    params.folder = std::get<mixer::StemFolder>(mixer::readStemFolder(folder));
    params.settings.stems = {{"vocals", 1.0, true, false}, {"drums", 0.5, false, false}, {"bass", 1.0, false, false}};
    params.settings.tempo = 0.8;
    params.settings.pitchSemitones = -2;
    params.format = separation::ExportFormat::flac;
    params.output = ws.path("window.flac");
    mixer::MixJob job(params);
    std::optional<Job::Outcome> outcome;
    QObject::connect(&job, &Job::finished, [&](Job::Outcome o) { outcome = o; });
    job.start();
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }, 60000));
    ASSERT_EQ(outcome, Job::Outcome::succeeded);
    EXPECT_EQ(ws.readFile("window.flac"), ws.readFile(QDir(ws.root()).relativeFilePath(saved)));

    // -o's extension picks the format.
    EXPECT_EQ(run({"mix", folder, "--solo", "bass", "-o", ws.path("bass.wav")}), cli::exitSucceeded);
    EXPECT_EQ(sepfix::probeAudio(ws.path("bass.wav")).value("codec_name"), "pcm_s24le");

    auto after = sepfix::folderSnapshot(folder);
    after.remove("mixes/");
    after.remove(QDir(folder).relativeFilePath(saved));
    EXPECT_EQ(after, before) << "the stems and their manifest are never written";

    EXPECT_EQ(run({"mix", folder, "--solo", "guitar"}), cli::exitFailed);
    EXPECT_EQ(errors(), "Tune has no stem named \"guitar\"; its stems are vocals, drums, bass.\n");
    EXPECT_EQ(run({"mix", ws.path("save")}), cli::exitFailed);
    EXPECT_TRUE(errors().startsWith("No stems were found in ")) << errors().toStdString();
    EXPECT_EQ(run({"mix", folder, "--tempo", "2"}), cli::exitUsage);
    EXPECT_TRUE(errors().startsWith("stemloft: --tempo takes a factor from 0.5 to 1.5, not \"2\".\n"))
        << errors().toStdString();
}
