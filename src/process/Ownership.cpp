#include "process/Ownership.h"

#include "base/FileOps.h"
#include "process/ProcessTable.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ownership {

namespace {

// Owner records are one short line; a stray large file is not read whole.
constexpr qint64 maxRecordSize = 64;
// Notes are a path or two.
constexpr qint64 maxClaimSize = 64 * 1024;
// How often a claim being written this instant is read again before its
// holder counts as unknown.
constexpr int busyRetries = 50;

QByteArray readAll(int fd, qint64 limit)
{
    QByteArray bytes(limit, Qt::Uninitialized);
    const ssize_t n = ::pread(fd, bytes.data(), size_t(limit), 0);
    bytes.truncate(n > 0 ? qsizetype(n) : 0);
    return bytes;
}

std::optional<Claim::Holder> parseHolder(const QByteArray& contents)
{
    const qsizetype lineEnd = contents.indexOf('\n');
    if (lineEnd < 0 || !isOwnerAlive(contents.left(lineEnd)))
        return std::nullopt;
    return Claim::Holder{contents.left(lineEnd).split(' ').value(0).toLongLong(), contents.mid(lineEnd + 1)};
}

// Whether fd is still the file at path: a releasing holder removes it, and a
// lock on a removed file guards nothing.
bool isFileAt(int fd, const QString& path)
{
    struct stat open {};
    struct stat named {};
    return ::fstat(fd, &open) == 0 && ::lstat(fileops::encodePath(path).constData(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace

QByteArray ownerRecord(qint64 pid)
{
    const std::optional<processes::ProcessInfo> info = processes::processInfo(pid);
    return QByteArray::number(pid) + ' ' + QByteArray::number(info ? info->startTime : 0) + '\n';
}

void writeOwnerFile(const QString& folder, qint64 pid)
{
    fileops::writeFileAtomically(fileops::appendingComponent(folder, ownerFileName), ownerRecord(pid));
}

bool isOwnerAlive(const QByteArray& record)
{
    const QByteArray firstLine = record.left(record.indexOf('\n') < 0 ? record.size() : record.indexOf('\n'));
    const QList<QByteArray> parts = firstLine.trimmed().split(' ');
    if (parts.size() != 2)
        return false;
    bool pidOk = false;
    bool startOk = false;
    const qint64 pid = parts.at(0).toLongLong(&pidOk);
    const quint64 start = parts.at(1).toULongLong(&startOk);
    return pidOk && startOk && processes::isRunning(pid, start);
}

QStringList abandonedFolders(const QString& parent, const QString& prefix, const QDateTime& now,
                             qint64 noOwnerGraceSecs)
{
    QStringList abandoned;
    if (!parent.startsWith(QLatin1Char('/')))
        return abandoned;  // never the working directory
    const QStringList names =
        QDir(parent).entryList({prefix + QLatin1Char('*')}, QDir::AllEntries | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString folder = fileops::appendingComponent(parent, name);
        struct stat st {};
        if (!name.startsWith(prefix) || ::lstat(fileops::encodePath(folder).constData(), &st) != 0 ||
            !S_ISDIR(st.st_mode))
            continue;
        const QString ownerPath = fileops::appendingComponent(folder, ownerFileName);
        struct stat owner {};
        if (::lstat(fileops::encodePath(ownerPath).constData(), &owner) != 0) {
            if (errno == ENOENT && now.toSecsSinceEpoch() - qint64(st.st_mtime) > noOwnerGraceSecs)
                abandoned << folder;
            continue;
        }
        QFile file(ownerPath);
        if (!S_ISREG(owner.st_mode) || !file.open(QIODevice::ReadOnly) || !isOwnerAlive(file.read(maxRecordSize)))
            abandoned << folder;
    }
    return abandoned;
}

Claim::Claim(Claim&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_path(std::move(other.m_path)),
      m_tookOver(other.m_tookOver),
      m_previousNote(std::move(other.m_previousNote))
{
}

Claim& Claim::operator=(Claim&& other) noexcept
{
    if (this != &other) {
        release();
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
        m_tookOver = other.m_tookOver;
        m_previousNote = std::move(other.m_previousNote);
    }
    return *this;
}

std::variant<Claim, Claim::Holder> Claim::take(const QString& path, const QByteArray& note)
{
    const QByteArray name = fileops::encodePath(path);
    for (int attempt = 0;; ++attempt) {
        const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0)
            fileops::throwErrno(errno, QStringLiteral("Could not create \"%1\"").arg(path));
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            const QByteArray contents = readAll(fd, maxClaimSize);
            ::close(fd);
            if (err != EWOULDBLOCK)
                fileops::throwErrno(err, QStringLiteral("Could not lock \"%1\"").arg(path));
            if (std::optional<Holder> holder = parseHolder(contents))
                return *holder;
            // The holder has the lock but has not written its record yet (or
            // still shows the one it took over): read it again shortly.
            if (attempt >= busyRetries)
                return Holder{};
            QThread::msleep(10);
            continue;
        }
        if (!isFileAt(fd, path)) {
            ::close(fd);
            continue;
        }
        Claim claim;
        claim.m_fd = fd;
        claim.m_path = path;
        claim.m_previousNote = readAll(fd, maxClaimSize);
        claim.m_tookOver = !claim.m_previousNote.isEmpty();
        if (const qsizetype lineEnd = claim.m_previousNote.indexOf('\n'); lineEnd >= 0)
            claim.m_previousNote.remove(0, lineEnd + 1);
        const QByteArray record = ownerRecord(::getpid()) + note;
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, record.constData(), size_t(record.size()), 0) != record.size()) {
            const int err = errno ? errno : EIO;
            claim.release();
            fileops::throwErrno(err, QStringLiteral("Could not write \"%1\"").arg(path));
        }
        return claim;
    }
}

std::optional<Claim::Holder> Claim::holderOf(const QString& path)
{
    const int fd = ::open(fileops::encodePath(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    std::optional<Holder> holder;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        holder = parseHolder(readAll(fd, maxClaimSize));
        if (!holder)
            holder = Holder{};  // held, by a holder still writing its record
    }
    ::close(fd);
    return holder;
}

void Claim::release()
{
    if (m_fd < 0)
        return;
    // Removed while still locked: a process that opened the file meanwhile
    // sees it is gone once it gets the lock, and starts again.
    if (isFileAt(m_fd, m_path))
        ::unlink(fileops::encodePath(m_path).constData());
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace ownership
