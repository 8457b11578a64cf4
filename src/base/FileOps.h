#pragma once

#include <QString>

#include <functional>
#include <optional>

class QByteArray;
class QObject;
class QThread;
class QUrl;

// File-system steps that throw AppError (domain "FileSystem", errno as code)
// with a readable message, so the run that owns them can report it.
namespace fileops {

// The system's description of an errno value ("No such file or directory").
QString errnoText(int err);
// Throws AppError in the "FileSystem" domain: "WHAT: " + errnoText(err).
[[noreturn]] void throwErrno(int err, const QString& what);

// A file name's bytes as text and back, losslessly: UTF-8, with each byte
// that is not part of valid UTF-8 kept as the lone surrogate U+DC80 + byte
// (as Python does), so a name that is not UTF-8 still names its file. Every
// path that goes between bytes and text goes through these.
QString decodePath(const QByteArray& bytes);
QByteArray encodePath(const QString& path);
// Whether path survives UTF-8 as it is (nothing kept as a surrogate): a
// child process's argument or a Qt file class can take it.
bool isUtf8Path(const QString& path);
// path as a file chooser lists it: U+FFFD for each byte that is not UTF-8.
QString shownPath(const QString& path);
// The local path of a file URL, its percent-encoded bytes decoded losslessly.
QString localPathOf(const QUrl& url);
// A path shown with U+FFFD for bytes that are not UTF-8 (as a file chooser
// lists it) back to the file it shows: itself when something is there, else
// the one entry per component whose name is shown that way. Unchanged when
// none or several match.
QString resolveShownPath(const QString& path);

// Path of a file URL made from text: relative text is taken against the
// current directory; redundant separators and a trailing one are dropped.
QString fileURLPath(const QString& text);
// The same against a given current directory, for callers that read it once.
QString fileURLPath(const QString& text, const QString& currentDir);
// fileURLPath with "." and ".." resolved (symbolic links are not followed).
QString standardizedPath(const QString& text);
// text + "/" + component, the way appending a path component does.
QString appendingComponent(const QString& dir, const QString& component);
QString lastComponent(const QString& path);
QString deletingLastComponent(const QString& path);
QString pathExtension(const QString& path);
QString deletingPathExtension(const QString& name);
// True when child is dir itself or lies inside it, compared by whole components.
bool isInsideFolder(const QString& child, const QString& dir);
// isInsideFolder for paths that are already standardized.
bool isInsideStandardizedFolder(const QString& child, const QString& dir);

// Exists without following a final symbolic link (like lstat), so a dangling
// link still counts as "something there".
bool itemExists(const QString& path);
bool isExecutableFile(const QString& path);
bool isRegularFile(const QString& path);  // follows symbolic links
// Something is there, following symbolic links (as QFileInfo::exists does,
// but for any name the file system holds).
bool exists(const QString& path);
std::optional<qint64> fileSize(const QString& path);
// Free bytes an unprivileged writer may use on path's file system.
std::optional<qint64> availableBytes(const QString& path);
// The file system path lies on, to tell whether two folders share one.
std::optional<quint64> fileSystemId(const QString& path);

void createDirectories(const QString& path);
void removeItem(const QString& path);  // recursive for folders
bool removeItemQuietly(const QString& path);
// rename(2): replaces an existing destination in one step.
void moveItem(const QString& from, const QString& to);
void setPosixPermissions(const QString& path, unsigned mode);
// A downloaded program into its place: it gets its mode first, then one
// rename puts it over the old one, so the old program survives any failing
// step. Only a folder in the way, which no program can be, goes beforehand.
void putExecutableInPlace(const QString& file, const QString& target);
bool setPosixPermissionsQuietly(const QString& path, unsigned mode);
// Writes the bytes to a temporary file beside path, then renames it into place.
void writeFileAtomically(const QString& path, const QByteArray& bytes);

// pipe(2) with both ends closed on exec, so no child inherits them; false
// when the system has no descriptor left.
bool openPipe(int fds[2]);

}  // namespace fileops
