#pragma once

#include <QString>

#include <optional>

// The save folder is where every long step writes; it is checked before one
// starts, so a folder that cannot take the result fails at once instead of
// after minutes of work.
namespace savefolder {

// The title of a run that ends because its save folder cannot take files.
inline const QString unusableTitle = QStringLiteral("Save Folder Unusable");

// A line break or another control character: yt-dlp reports one path a
// line, so a download into such a folder could never be followed.
bool hasControlCharacters(const QString& path);

// A value that can name the save folder as it is: absolute and free of
// control characters. Anything else falls back to the default folder.
bool isAcceptable(const QString& path);

// Why path cannot take a run's files ("It is a file, not a folder."), or
// nothing when it can. A hidden probe file is written and removed to be sure
// the folder (or, when it is missing, the folder it would be made in) takes
// files; nothing is left behind.
std::optional<QString> problem(const QString& path);

// The first item on the way from saveFolder down to stemsFolder that is in
// the way (not a folder), or stemsFolder itself when it exists and cannot be
// written: "PATH: REASON". Nothing is created.
std::optional<QString> stemsFolderProblem(const QString& saveFolder, const QString& stemsFolder);

// What a run logs after its log is cleared when it uses the default folder
// because none was set: "Save folder was not set; using PATH."
QString defaultedMessage(const QString& path);

}  // namespace savefolder
