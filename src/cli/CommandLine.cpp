#include "cli/CommandLine.h"

#include "base/FileOps.h"

#include <QList>

#include <algorithm>
#include <utility>

namespace cli {
namespace {

enum CommandBit {
    downloadBit = 1,
    separateBit = 2,
    getBit = 4,
    installYtDlpBit = 8,
    installDemucsBit = 16,
    statusBit = 32,
    mixBit = 64,
    playBit = 128,
};

struct OptionInfo {
    const char* name;
    const char* value;  // "" for a switch
    const char* text;
    int commands;
};

// One table for parsing and for help, so the two cannot drift apart.
const OptionInfo optionTable[] = {
    {"--to", "DIR",
     "Save folder, relative to the current folder. Default: the window's save folder, else Downloads.",
     downloadBit | separateBit | getBit},
    {"--cookies-from-browser", "NAME",
     "Let yt-dlp use this browser's cookies: %1 or none. Default: the window's Cookies choice.",
     downloadBit | getBit},
    {"--stems", "2|4|6",
     "Two stems (vocals, instrumental), four (vocals, drums, bass, other) or six (also guitar, piano). Default: 6.",
     separateBit | getBit},
    {"--format", "m4a|flac|wav", "AAC in .m4a (the default), or 24-bit lossless FLAC or WAV.",
     separateBit | getBit | mixBit},
    {"--best", "", "The slower, best-quality four-stem model (htdemucs_ft), also for two stems; implies --stems 4.",
     separateBit | getBit},
    {"--json", "", "One JSON object per finished item on standard output instead of the log.",
     downloadBit | separateBit | getBit | statusBit},
    {"--update", "", "Download yt-dlp and Deno again, even when they are installed.", installYtDlpBit},
    {"--mute", "STEM", "Leave this stem out of the mix (again for more).", mixBit},
    {"--solo", "STEM", "Only soloed stems are heard, muted or not (again for more).", mixBit},
    {"--volume", "STEM=LEVEL", "A stem's level from 0 to 1 (again for more). Default: 1.", mixBit},
    {"--tempo", "FACTOR", "Speed from 0.5 to 1.5, keeping the pitch. Default: 1.", mixBit},
    {"--pitch", "SEMITONES", "Shift from -12 to 12 semitones, keeping the tempo. Default: 0.", mixBit},
    {"-o", "FILE", "Where the mix goes; its extension picks the format unless --format is given. Default: "
     "FOLDER/mixes/, named after the mix (\"no vocals.m4a\").", mixBit},
    {"--rebuild", "", "Delete an environment that fails its check without asking.", installDemucsBit},
};

struct CommandInfo {
    const char* name;
    const char* synopsis;
    const char* summary;
    CommandKind kind;
    int bit;
};

const CommandInfo commandTable[] = {
    {"download", "download URL... [--to DIR] [--cookies-from-browser NAME] [--json]",
     "Download each link's best audio; words: YouTube's first result.",
     CommandKind::download, downloadBit},
    {"separate", "separate FILE... [--stems 2|4|6] [--format m4a|flac|wav] [--best] [--to DIR] [--json]",
     "Split each audio or movie file into stems.", CommandKind::separate, separateBit},
    {"get", "get URL... [the options of download and separate]", "Download each link, then separate it.",
     CommandKind::get, getBit},
    {"install", "install yt-dlp [--update]", "Install yt-dlp and Deno into the support folder.",
     CommandKind::installYtDlp, installYtDlpBit},
    {"install", "install demucs [--rebuild]", "Build the Demucs environment.", CommandKind::installDemucs,
     installDemucsBit},
    {"status", "status [--json]", "Show the tools found, their versions and the Demucs environment.",
     CommandKind::status, statusBit},
    {"mix", "mix FOLDER [--mute STEM]... [--solo STEM]... [--volume STEM=LEVEL]... [--tempo FACTOR] "
     "[--pitch SEMITONES] [--format m4a|flac|wav] [-o FILE]",
     "Save a mix of a stems folder as one file.", CommandKind::mix, mixBit},
    {"play", "play FOLDER", "Open the mixer on a stems folder, in the window.", CommandKind::play, playBit},
};

const QString program = QStringLiteral("stemloft");

const CommandInfo* commandOfKind(CommandKind kind)
{
    for (const CommandInfo& command : commandTable) {
        if (command.kind == kind)
            return &command;
    }
    return nullptr;
}

const OptionInfo* findOption(const QString& name)
{
    for (const OptionInfo& option : optionTable) {
        if (name == QLatin1String(option.name))
            return &option;
    }
    return nullptr;
}

const CommandInfo* findCommand(const QString& name)
{
    for (const CommandInfo& command : commandTable) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

QString browserList(const QStringList& cookieBrowsers)
{
    return cookieBrowsers.join(QStringLiteral(", ")).toLower();
}

ParseResult usageError(const QString& message)
{
    return {std::nullopt, message};
}

struct GivenOption {
    const OptionInfo* info;
    QString spelled;
    QString value;
};

// Applies one option to command; returns the error, if any.
QString apply(Command& command, const GivenOption& given, const QStringList& cookieBrowsers)
{
    const QString name = QLatin1String(given.info->name);
    const QString& value = given.value;
    if (name == QLatin1String("--to")) {
        if (value.isEmpty())
            return QStringLiteral("--to needs a folder.");
        command.saveFolder = value;
    } else if (name == QLatin1String("--cookies-from-browser")) {
        if (value.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0) {
            command.cookiesBrowser = QString();
            return {};
        }
        for (const QString& browser : cookieBrowsers) {
            if (browser.compare(value, Qt::CaseInsensitive) == 0) {
                command.cookiesBrowser = browser;
                return {};
            }
        }
        return QStringLiteral("--cookies-from-browser takes %1 or none, not \"%2\".")
            .arg(browserList(cookieBrowsers), value);
    } else if (name == QLatin1String("--stems")) {
        if (value != QLatin1String("2") && value != QLatin1String("4") && value != QLatin1String("6"))
            return QStringLiteral("--stems takes 2, 4 or 6, not \"%1\".").arg(value);
        command.stems = value.toInt();
    } else if (name == QLatin1String("--format")) {
        const auto format = separation::formatFromExtension(value.toLower());
        if (!format)
            return QStringLiteral("--format takes m4a, flac or wav, not \"%1\".").arg(value);
        command.format = *format;
        command.formatGiven = true;
    } else if (name == QLatin1String("--mute") || name == QLatin1String("--solo")) {
        if (value.isEmpty())
            return name + QStringLiteral(" needs a stem's name.");
        (name == QLatin1String("--mute") ? command.mutes : command.solos) << value;
    } else if (name == QLatin1String("--volume")) {
        const qsizetype equals = value.lastIndexOf(QLatin1Char('='));
        bool ok = false;
        const double level = equals > 0 ? value.mid(equals + 1).toDouble(&ok) : 0;
        if (!ok || level < 0 || level > 1)
            return QStringLiteral("--volume takes STEM=LEVEL with a level from 0 to 1, not \"%1\".").arg(value);
        command.volumes.append({value.left(equals), level});
    } else if (name == QLatin1String("--tempo")) {
        bool ok = false;
        const double tempo = value.toDouble(&ok);
        if (!ok || tempo < 0.5 || tempo > 1.5)
            return QStringLiteral("--tempo takes a factor from 0.5 to 1.5, not \"%1\".").arg(value);
        command.tempo = tempo;
    } else if (name == QLatin1String("--pitch")) {
        bool ok = false;
        const int pitch = value.toInt(&ok);
        if (!ok || pitch < -12 || pitch > 12)
            return QStringLiteral("--pitch takes whole semitones from -12 to 12, not \"%1\".").arg(value);
        command.pitch = pitch;
    } else if (name == QLatin1String("-o")) {
        if (value.isEmpty())
            return QStringLiteral("-o needs a file.");
        command.output = value;
    } else if (name == QLatin1String("--best")) {
        command.bestQuality = true;
    } else if (name == QLatin1String("--json")) {
        command.json = true;
    } else if (name == QLatin1String("--update")) {
        command.update = true;
    } else if (name == QLatin1String("--rebuild")) {
        command.rebuild = true;
    }
    return {};
}

// first + words, wrapped to fit 80 columns; later lines start with indent spaces.
QString wrapped(const QString& first, const QString& words, qsizetype indent)
{
    QString text;
    QString line = first;
    for (const QString& word : words.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (line.size() + 1 + word.size() > 79 && line.size() > indent) {
            text += line + QLatin1Char('\n');
            line = QString(indent - 1, QLatin1Char(' '));
        }
        line += QLatin1Char(' ') + word;
    }
    return text + line + QLatin1Char('\n');
}

QString optionLines(int commands, const QStringList& cookieBrowsers)
{
    QString text;
    for (const OptionInfo& option : optionTable) {
        if (!(option.commands & commands))
            continue;
        QString left = QLatin1String(option.name);
        if (*option.value)
            left += QLatin1Char(' ') + QLatin1String(option.value);
        QString description = QLatin1String(option.text);
        if (description.contains(QLatin1String("%1")))
            description = description.arg(browserList(cookieBrowsers));
        text += wrapped(QStringLiteral("  ") + left.leftJustified(28), description, 31);
    }
    // Parsing knows "--" before any option is looked up; it is no row of the table.
    return text + QStringLiteral("  --").leftJustified(30) +
           QStringLiteral(" Ends the options: a later -x.wav is a file.\n");
}

QString synopsisLines()
{
    QString text;
    for (const CommandInfo& command : commandTable)
        text += wrapped(QStringLiteral("  ") + program, QLatin1String(command.synopsis), 8);
    text += QStringLiteral("  ") + program + QStringLiteral(" --help | COMMAND --help\n");
    text += QStringLiteral("  ") + program + QStringLiteral(" --version\n");
    return text;
}

}  // namespace

std::optional<QString> stemsToPlay(const QStringList& args)
{
    if (args.size() == 2 && args.first() == QLatin1String("play") && !args.at(1).startsWith(QLatin1Char('-')))
        return args.at(1);
    return std::nullopt;
}

bool opensCommandLine(const QStringList& args)
{
    if (args.isEmpty() || stemsToPlay(args))
        return false;
    const QString& first = args.first();
    if (!first.startsWith(QLatin1Char('-')) || first == QLatin1String("-"))
        return true;
    if (first == QLatin1String("--help") || first == QLatin1String("-h") || first == QLatin1String("--version"))
        return true;
    return optionNames().contains(first.section(QLatin1Char('='), 0, 0));
}

ParseResult parseCommandLine(const QStringList& args, const QStringList& cookieBrowsers)
{
    Command command;
    if (args.isEmpty())
        return {command, {}};
    const QString& first = args.first();
    if (first == QLatin1String("--help") || first == QLatin1String("-h") || first == QLatin1String("help")) {
        if (args.size() > 2 || (args.size() == 2 && !findCommand(args.at(1))))
            return usageError(QStringLiteral("help takes one command name."));
        command.kind = CommandKind::help;
        command.helpTopic = args.value(1);
        return {command, {}};
    }
    if (first == QLatin1String("--version")) {
        if (args.size() > 1)
            return usageError(QStringLiteral("--version takes no arguments."));
        command.kind = CommandKind::version;
        return {command, {}};
    }
    const CommandInfo* info = findCommand(first);
    if (!info) {
        return usageError(first.startsWith(QLatin1Char('-')) ? QStringLiteral("Unknown option: ") + first
                                                             : QStringLiteral("Unknown command: ") + first);
    }

    QStringList positional;
    QList<GivenOption> given;
    bool optionsEnded = false;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& word = args.at(i);
        if (optionsEnded || !word.startsWith(QLatin1Char('-')) || word == QLatin1String("-")) {
            positional << word;
            continue;
        }
        if (word == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (word == QLatin1String("--help") || word == QLatin1String("-h")) {
            command.kind = CommandKind::help;
            command.helpTopic = QLatin1String(info->name);
            return {command, {}};
        }
        const qsizetype equals = word.indexOf(QLatin1Char('='));
        const QString name = equals < 0 ? word : word.left(equals);
        const OptionInfo* option = findOption(name);
        if (!option) {
            // "separate -take1.wav": the shell's glob gives such names too.
            if (fileops::exists(word))
                return usageError(QStringLiteral("Unknown option: ") + word +
                                  QStringLiteral(" (use -- before file names that start with -)"));
            return usageError(QStringLiteral("Unknown option: ") + name);
        }
        GivenOption one{option, name, QString()};
        if (*option->value) {
            if (equals >= 0) {
                one.value = word.mid(equals + 1);
            } else if (i + 1 < args.size()) {
                one.value = args.at(++i);
            } else {
                return usageError(name + QStringLiteral(" needs a value: ") + QLatin1String(option->value));
            }
        } else if (equals >= 0) {
            return usageError(name + QStringLiteral(" takes no value."));
        }
        given << one;
    }

    // "install" names its tool among the words; options may come before it.
    if (info->kind == CommandKind::installYtDlp) {
        if (positional.size() != 1 || !(positional.first() == QLatin1String("yt-dlp") ||
                                        positional.first() == QLatin1String("demucs")))
            return usageError(QStringLiteral("install takes yt-dlp or demucs."));
        if (positional.first() == QLatin1String("demucs"))
            info = commandOfKind(CommandKind::installDemucs);
        positional.clear();
    }
    command.kind = info->kind;
    for (const GivenOption& one : std::as_const(given)) {
        if (!(one.info->commands & info->bit))
            return usageError(QStringLiteral("%1 does not take %2.").arg(QLatin1String(info->name), one.spelled));
        const QString error = apply(command, one, cookieBrowsers);
        if (!error.isEmpty())
            return usageError(error);
    }
    if (command.bestQuality) {
        const bool stemsGiven = std::any_of(given.cbegin(), given.cend(), [](const GivenOption& one) {
            return one.spelled == QLatin1String("--stems");
        });
        if (stemsGiven && command.stems == 6)
            return usageError(
                QStringLiteral("--best applies to two or four stems only; there is no fine-tuned six-stem model."));
        if (!stemsGiven)
            command.stems = 4;
    }
    switch (command.kind) {
    case CommandKind::download:
    case CommandKind::get:
        if (positional.isEmpty())
            return usageError(QLatin1String(info->name) + QStringLiteral(" needs at least one URL."));
        break;
    case CommandKind::separate:
        if (positional.isEmpty())
            return usageError(QStringLiteral("separate needs at least one file."));
        break;
    case CommandKind::status:
        if (!positional.isEmpty())
            return usageError(QStringLiteral("status takes no arguments."));
        break;
    case CommandKind::mix:
    case CommandKind::play:
        if (positional.size() != 1)
            return usageError(QLatin1String(info->name) + QStringLiteral(" takes one stems folder."));
        if (command.kind == CommandKind::mix && !command.formatGiven && !command.output.isEmpty()) {
            if (const auto format = separation::formatFromExtension(fileops::pathExtension(command.output).toLower()))
                command.format = *format;
        }
        break;
    default:
        break;
    }
    command.inputs = positional;
    return {command, {}};
}

QString usageText()
{
    return QStringLiteral("Usage:\n") + synopsisLines() + QStringLiteral("Run stemloft --help for more.\n");
}

QString helpText(const QStringList& cookieBrowsers, const QString& topic)
{
    if (!topic.isEmpty()) {
        QString synopsis;
        QString summary;
        int bits = 0;
        for (const CommandInfo& command : commandTable) {
            if (topic != QLatin1String(command.name))
                continue;
            synopsis += wrapped(QStringLiteral("  ") + program, QLatin1String(command.synopsis), 8);
            summary += QLatin1String(command.summary) + QLatin1Char('\n');
            bits |= command.bit;
        }
        return QStringLiteral("Usage:\n") + synopsis + QLatin1Char('\n') + summary + QStringLiteral("\nOptions:\n") +
               optionLines(bits, cookieBrowsers);
    }
    QString commands;
    for (const CommandInfo& command : commandTable) {
        if (command.kind == CommandKind::installDemucs)
            continue;  // install is listed once, with both tools
        const QString name = QLatin1String(command.name);
        QString summary = QLatin1String(command.summary);
        if (command.kind == CommandKind::installYtDlp)
            summary = QStringLiteral("Install yt-dlp and Deno, or build the Demucs environment.");
        commands += QStringLiteral("  ") + name.leftJustified(10) + QLatin1Char(' ') + summary + QLatin1Char('\n');
    }
    return QStringLiteral("Stemloft splits songs into stems. Without arguments it opens its window.\n\n"
                          "Usage:\n") +
           synopsisLines() + QStringLiteral("\nCommands:\n") + commands + QStringLiteral("\nOptions:\n") +
           optionLines(~0, cookieBrowsers) +
           QStringLiteral(
               "\nThe log goes to standard output, one entry a line; alerts (\"TITLE: TEXT\"),\n"
               "errors and a queue's \"Failed: \" lines go to standard error. When standard\n"
               "error is a terminal, a progress line is drawn there instead of the tools'\n"
               "progress lines.\n"
               "Stems are saved in DIR/stems/NAME/ with a manifest.json.\n"
               "\nExit status: 0 every item succeeded, 1 an item failed or a tool is missing,\n"
               "2 wrong usage, 130 interrupted by Ctrl+C, 143 ended by SIGTERM.\n");
}

QStringList optionNames()
{
    QStringList names;
    for (const OptionInfo& option : optionTable)
        names << QLatin1String(option.name);
    return names;
}

}  // namespace cli
