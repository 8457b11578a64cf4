#include "separation/Leftovers.h"

#include "app/FileOps.h"
#include "process/ProcessRunner.h"
#include "ytdlp/YtDlpLocator.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QRegularExpression>

#include <cerrno>
#include <limits>
#include <memory>
#include <optional>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace leftovers {

namespace {

const QString rootPrefix = QStringLiteral("stemloft-demucs-");
// Index of field 22 (starttime) among the fields that follow "(comm)".
constexpr qsizetype startTimeIndex = 22 - 3;
// Owner records are one short line; a stray large file is not read whole.
constexpr qint64 maxRecordSize = 64;

std::optional<struct stat> lstatOf(const QString& path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
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

QByteArray ownerRecord(qint64 pid)
{
    const QList<QByteArray> fields = procStatFields(pid);
    const QByteArray start = fields.size() > startTimeIndex ? fields.at(startTimeIndex) : QByteArray("0");
    return QByteArray::number(pid) + ' ' + start + '\n';
}

void writeOwnerFile(const QString& root, qint64 pid)
{
    fileops::writeFileAtomically(fileops::appendingComponent(root, ownerFileName), ownerRecord(pid));
}

bool isOwnerAlive(const QByteArray& record)
{
    const QList<QByteArray> parts = record.trimmed().split(' ');
    if (parts.size() != 2)
        return false;
    bool pidOk = false;
    bool startOk = false;
    const qint64 pid = parts.at(0).toLongLong(&pidOk);
    const quint64 start = parts.at(1).toULongLong(&startOk);
    // kill() takes 0 and negative pids as whole process groups, which always answer.
    if (!pidOk || !startOk || pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    const QList<QByteArray> fields = procStatFields(pid);
    if (fields.isEmpty())
        return true;
    // A zombie owner has ended; only its parent has not collected it yet.
    if (fields.at(0) == "Z" || fields.at(0) == "X")
        return false;
    return start == 0 || fields.size() <= startTimeIndex || fields.at(startTimeIndex).toULongLong() == start;
}

QStringList abandonedOutputRoots(const QString& tempDir, const QDateTime& now, qint64 noOwnerGraceSecs)
{
    QStringList abandoned;
    if (!tempDir.startsWith(QLatin1Char('/')))
        return abandoned;  // never the working directory
    for (const QString& name : entriesOf(tempDir)) {
        if (!name.startsWith(rootPrefix))
            continue;
        const QString root = fileops::appendingComponent(tempDir, name);
        const std::optional<struct stat> st = lstatOf(root);
        if (!st || !S_ISDIR(st->st_mode))
            continue;
        const QString ownerPath = fileops::appendingComponent(root, ownerFileName);
        const std::optional<struct stat> owner = lstatOf(ownerPath);
        if (!owner) {
            if (errno == ENOENT && modifiedBefore(*st, now, noOwnerGraceSecs))
                abandoned << root;
            continue;
        }
        QFile file(ownerPath);
        if (!S_ISREG(owner->st_mode) || !file.open(QIODevice::ReadOnly) || !isOwnerAlive(file.read(maxRecordSize)))
            abandoned << root;
    }
    return abandoned;
}

QStringList staleStemTemporaries(const QString& stemsFolder, const QDateTime& now, qint64 maxAgeSecs)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^\\.[^/]+\\.[A-Za-z0-9]+\\.[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.tmp$"));
    QStringList stale;
    for (const QString& name : entriesOf(stemsFolder)) {
        if (!pattern.match(name).hasMatch())
            continue;
        const QString path = fileops::appendingComponent(stemsFolder, name);
        const std::optional<struct stat> st = lstatOf(path);
        if (st && S_ISREG(st->st_mode) && modifiedBefore(*st, now, maxAgeSecs))
            stale << path;
    }
    return stale;
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
    return QStringLiteral("Removed leftovers of an interrupted run (%1).").arg(ytdlp::formatFileByteCount(bytes));
}

QThread* removeAbandonedRootsInBackground(const QString& tempDir, QObject* context,
                                          std::function<void(int roots, qint64 bytes)> done)
{
    auto found = std::make_shared<std::pair<int, qint64>>(0, 0);
    return fileops::runInBackground(
        [tempDir, found] {
            const QStringList roots = abandonedOutputRoots(tempDir, QDateTime::currentDateTime());
            found->first = int(roots.size());
            found->second = roots.isEmpty() ? 0 : removeLeftovers(roots);
        },
        context, [found, done = std::move(done)] { done(found->first, found->second); });
}

}  // namespace leftovers
