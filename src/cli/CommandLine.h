#pragma once

#include "separation/ExportFormat.h"

#include <QString>
#include <QList>
#include <QPair>
#include <QStringList>

#include <optional>

// The command line of the program: what the words ask for, and the texts of
// --help. Parsing reads the words and checks no tool; it looks for a file
// only to explain an unknown option that names one.
namespace cli {

enum class CommandKind { window, help, version, download, separate, get, installYtDlp, installDemucs, status, mix, play };

struct Command {
    CommandKind kind = CommandKind::window;
    QStringList inputs;  // links or files, in the order given
    QString saveFolder;  // --to as given; empty for the default
    // --cookies-from-browser as the profile names the browser, "" for none;
    // nothing when the option was not given.
    std::optional<QString> cookiesBrowser;
    int stems = 6;  // 4 with --best, which has no six-stem model
    separation::ExportFormat format = separation::ExportFormat::aac;
    bool bestQuality = false;
    bool json = false;
    bool update = false;
    bool rebuild = false;
    // mix: the stems named by --mute, --solo and --volume, as given.
    QStringList mutes;
    QStringList solos;
    QList<QPair<QString, double>> volumes;
    double tempo = 1.0;
    int pitch = 0;
    QString output;  // -o, empty for mixes/ in the stems folder
    bool formatGiven = false;
    // For help: the command whose help was asked for; empty for all.
    QString helpTopic;
};

struct ParseResult {
    std::optional<Command> command;
    QString error;  // why the words are no command; empty when they are
};

// args without the program's name. cookieBrowsers: the names the Cookies
// menu offers, matched without regard to case.
ParseResult parseCommandLine(const QStringList& args, const QStringList& cookieBrowsers);

// Whether the program's arguments (without its name) are for the command
// line rather than the window: a command, help, --version, one of the
// commands' options, or any other word, which is then a usage error. Any
// other option opens the window, which hands it to Qt: Qt's own (-platform,
// -style, -reverse) and the session manager's (-session ID).
bool opensCommandLine(const QStringList& args);

// The folder of "play FOLDER", which opens the window on the mixer;
// nothing for any other words.
std::optional<QString> stemsToPlay(const QStringList& args);
// The synopsis, for a usage error.
QString usageText();
// The full help, or one command's ("download", "install", ...).
QString helpText(const QStringList& cookieBrowsers, const QString& topic = QString());

// Every option the commands take, as --help and the manual page spell them.
QStringList optionNames();

}  // namespace cli
