#include "separation/Leftovers.h"

#include "base/AppError.h"
#include "base/ByteCount.h"
#include "base/FileOps.h"
#include "process/Ownership.h"
#include "separation/StemFiles.h"
#include "ytdlp/YtDlpLocator.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QRegularExpression>

#include <optional>
#include <sys/stat.h>
#include <sys/types.h>

namespace leftovers {

namespace {

const QString rootPrefix = QStringLiteral("stemloft-demucs-");

std::optional<struct stat> lstatOf(const QString& path)
{
    struct stat st;
    if (::lstat(fileops::encodePath(path).constData(), &st) != 0)
        return std::nullopt;
    return st;
}

bool modifiedBefore(const struct stat& st, const QDateTime& now, qint64 secs)
{
    return now.toSecsSinceEpoch() - qint64(st.st_mtime) > secs;
}

// Every entry of a folder, hidden ones and links included, by name.
QStringList entriesOf(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// Bytes of the regular files at path, walking folders without following links.
qint64 regularBytes(const QString& path)
{
    const std::optional<struct stat> st = lstatOf(path);
    if (!st)
        return 0;
    if (S_ISREG(st->st_mode))
        return qint64(st->st_size);
    if (!S_ISDIR(st->st_mode))
        return 0;
    qint64 total = 0;
    for (const QString& name : entriesOf(path))
        total += regularBytes(fileops::appendingComponent(path, name));
    return total;
}

}  // namespace

QStringList abandonedOutputRoots(const QString& tempDir, const QDateTime& now, qint64 noOwnerGraceSecs)
{
    return ownership::abandonedFolders(tempDir, rootPrefix, now, noOwnerGraceSecs);
}

QStringList staleStemTemporaries(const QString& stemsFolder, const QDateTime& now, qint64 maxAgeSecs)
{
    QStringList stale;
    for (const QString& path : stemTemporaries(stemsFolder)) {
        const std::optional<struct stat> st = lstatOf(path);
        if (st && modifiedBefore(*st, now, maxAgeSecs))
            stale << path;
    }
    return stale;
}

QStringList stemTemporaries(const QString& stemsFolder)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^\\.[^/]+\\.[A-Za-z0-9]+\\.[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.tmp$"));
    QStringList found;
    for (const QString& name : entriesOf(stemsFolder)) {
        if (!pattern.match(name).hasMatch())
            continue;
        const QString path = fileops::appendingComponent(stemsFolder, name);
        const std::optional<struct stat> st = lstatOf(path);
        if (st && S_ISREG(st->st_mode))
            found << path;
    }
    return found;
}

Swept sweepStemsFolders(const QString& saveFolder, const QDateTime& now)
{
    Swept swept;
    const QString stems = fileops::appendingComponent(saveFolder, QStringLiteral("stems"));
    if (!saveFolder.startsWith(QLatin1Char('/')))
        return swept;
    for (const QString& name : QDir(stems).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QString folder = fileops::appendingComponent(stems, name);
        const std::optional<struct stat> st = lstatOf(folder);
        if (!st || !S_ISDIR(st->st_mode))
            continue;  // a link leads out of the save folder
        const QString claimPath = fileops::appendingComponent(folder, separation::claimFileName);
        if (!lstatOf(claimPath)) {
            const QStringList stale = staleStemTemporaries(folder, now);
            swept.items += int(stale.size());
            swept.bytes += removeLeftovers(stale);
            continue;
        }
        // Held for the moment of looking in: a run starting now waits for it.
        std::variant<ownership::Claim, ownership::Claim::Holder> taken;
        try {
            taken = ownership::Claim::take(claimPath);
        } catch (const AppError&) {
            continue;
        }
        auto* claim = std::get_if<ownership::Claim>(&taken);
        if (!claim)
            continue;  // a live run's
        const QStringList debris = stemTemporaries(folder);
        swept.items += int(debris.size());
        swept.bytes += removeLeftovers(debris);
        const int madeFolders = separation::parseStemsClaimNote(claim->previousNote()).createdFolders;
        claim->release();
        // What the run made, and only while nothing else is in it.
        QString made = folder;
        for (int level = 0; level < madeFolders && QDir().rmdir(made); ++level) {
            ++swept.items;
            made = fileops::deletingLastComponent(made);
        }
    }
    return swept;
}

qint64 removeLeftovers(const QStringList& paths)
{
    qint64 freed = 0;
    for (const QString& path : paths) {
        const qint64 before = regularBytes(path);
        fileops::removeItemQuietly(path);
        // A removal that stopped halfway still freed what it took.
        freed += before - regularBytes(path);
    }
    return freed;
}

QString removedMessage(qint64 bytes)
{
    return QStringLiteral("Removed leftovers of an interrupted run (%1).").arg(formatFileByteCount(bytes));
}

}  // namespace leftovers
