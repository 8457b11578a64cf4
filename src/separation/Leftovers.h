#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>


// What a killed run leaves behind: Demucs output roots in the temporary
// folder and hidden half-encoded stems in a stems folder. Finding them again
// on a later start, and removing them without touching a run still going.
namespace leftovers {

// Folders named "stemloft-demucs-*" directly in tempDir whose owner is gone
// (ownership::abandonedFolders).
QStringList abandonedOutputRoots(const QString& tempDir, const QDateTime& now, qint64 noOwnerGraceSecs = 3600);
// Hidden temporary stem files (".<stem>.<ext>.<uuid>.tmp", regular files) in
// stemsFolder last modified more than maxAgeSecs before now. A running encode
// rewrites its file continuously, so it is never that old.
QStringList staleStemTemporaries(const QString& stemsFolder, const QDateTime& now, qint64 maxAgeSecs = 3600);
// The same of any age: for a folder whose claim was left by a run that is gone.
QStringList stemTemporaries(const QString& stemsFolder);

// What a sweep took away.
struct Swept {
    int items = 0;
    qint64 bytes = 0;
};
// In every folder of saveFolder's "stems": the temporaries and the claim of a
// run that is gone (and the folder, when that run made it and nothing else is
// in it), and, where no run left a claim, temporaries staleStemTemporaries
// finds. A folder whose run is alive is not touched.
Swept sweepStemsFolders(const QString& saveFolder, const QDateTime& now);

// Removes each path (folders recursively, never following symbolic links),
// skipping ones that fail, and returns how many bytes of regular files went.
qint64 removeLeftovers(const QStringList& paths);
// "Removed leftovers of an interrupted run (312.4 MB)."
QString removedMessage(qint64 bytes);

}  // namespace leftovers
