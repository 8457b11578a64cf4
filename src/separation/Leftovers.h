#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>

class QObject;
class QThread;

// What a killed run leaves behind: Demucs output roots in the temporary
// folder and hidden half-encoded stems in a stems folder. Finding them again
// on a later start, and removing them without touching a run still going.
namespace leftovers {

// Name of the small file in each output root that says which process owns it.
inline const QString ownerFileName = QStringLiteral(".stemloft-owner");

// "PID START\n". START tells this process apart from a later one that reuses
// the pid: the start time from /proc/PID/stat on Linux, 0 elsewhere or when
// it cannot be read.
QByteArray ownerRecord(qint64 pid);
// Writes ownerRecord(pid) into root/ownerFileName; throws AppError when it cannot.
void writeOwnerFile(const QString& root, qint64 pid);
// True while the recorded process runs (a zombie does not) and, when the
// record has a start time that can be checked, is the same process.
// Garbage or an empty record: false.
bool isOwnerAlive(const QByteArray& record);

// Folders named "stemloft-demucs-*" directly in tempDir (symbolic links are
// never followed) whose owner is gone. A root without an owner file, written
// by an older version or being created this instant, counts as gone only once
// it was last modified more than noOwnerGraceSecs before now.
QStringList abandonedOutputRoots(const QString& tempDir, const QDateTime& now, qint64 noOwnerGraceSecs = 3600);
// Hidden temporary stem files (".<stem>.<ext>.<uuid>.tmp", regular files) in
// stemsFolder last modified more than maxAgeSecs before now. A running encode
// rewrites its file continuously, so it is never that old.
QStringList staleStemTemporaries(const QString& stemsFolder, const QDateTime& now, qint64 maxAgeSecs = 3600);

// Removes each path (folders recursively, never following symbolic links),
// skipping ones that fail, and returns how many bytes of regular files went.
qint64 removeLeftovers(const QStringList& paths);
// "Removed leftovers of an interrupted run (312.4 MB)."
QString removedMessage(qint64 bytes);

// abandonedOutputRoots and removeLeftovers on a worker thread (hundreds of MB
// must not hold up a start); done gets how many roots went and their bytes,
// on context's thread. The thread deletes itself; wait() on it to be sure it
// is over.
QThread* removeAbandonedRootsInBackground(const QString& tempDir, QObject* context,
                                          std::function<void(int roots, qint64 bytes)> done);

}  // namespace leftovers
