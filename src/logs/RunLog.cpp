#include "logs/RunLog.h"

#include "base/AppError.h"
#include "base/FileOps.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace logs {

QString droppedEntriesNote()
{
    return QStringLiteral("(earlier lines are in the log file)");
}

QString displayEntry(const QString& entry, qsizetype maxChars)
{
    if (entry.size() <= maxChars)
        return entry;
    qsizetype cut = maxChars;
    if (cut > 0 && entry.at(cut - 1).isHighSurrogate())
        --cut;
    return entry.left(cut) + QStringLiteral(" … (%1 more characters)").arg(entry.size() - cut);
}

namespace {

QString numberedFileName(const QDateTime& startedAt, const QString& kind, int n)
{
    QString stamp = startedAt.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss-zzz"));
    if (n > 1)
        stamp += QStringLiteral("-%1").arg(n);
    return stamp + QLatin1Char(' ') + kind + QStringLiteral(".log");
}

}  // namespace

QString runLogFileName(const QDateTime& startedAt, const QString& kind)
{
    return numberedFileName(startedAt, kind, 1);
}

QStringList removeOldRunLogs(const QString& folder, int keep)
{
    QStringList names = QDir(folder).entryList({QStringLiteral("*.log")}, QDir::Files | QDir::Hidden, QDir::Name);
    QStringList removed;
    while (names.size() > keep) {
        const QString path = fileops::appendingComponent(folder, names.takeFirst());
        if (fileops::removeItemQuietly(path))
            removed << path;
    }
    return removed;
}

RunLogFile::~RunLogFile()
{
    close();
}

bool RunLogFile::open(const QString& folder, const QString& kind, const QDateTime& startedAt)
{
    close();
    try {
        fileops::createDirectories(folder);
    } catch (const AppError& error) {
        m_error = error.localizedDescription();
        return false;
    }
    // Two runs in the same millisecond get their own files, in the order
    // they started ("...-123 Task.log", then "...-123-2 Task.log").
    for (int n = 1; m_fd < 0; ++n) {
        m_path = fileops::appendingComponent(folder, numberedFileName(startedAt, kind, n));
        m_fd = ::open(fileops::encodePath(m_path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (m_fd < 0 && errno != EEXIST) {
            m_error = fileops::errnoText(errno);
            return false;
        }
    }
    m_error.clear();
    m_closing = false;
    m_writer = std::thread([this] { writeQueued(); });
    return true;
}

void RunLogFile::write(const QStringList& entries)
{
    if (m_fd < 0 || entries.isEmpty())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_queue.push_back(entries);
    }
    m_wake.notify_one();
}

void RunLogFile::writeQueued()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_closing || !m_queue.empty(); });
        if (m_queue.empty())
            return;  // closing, and everything is written
        const QStringList entries = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        // Encoded a slice at a time: a line of megabytes needs no buffer of
        // its size, whose fresh pages would compete with the window's thread.
        constexpr qsizetype slice = 64 * 1024;
        QByteArray bytes;
        for (const QString& entry : entries) {
            for (qsizetype from = 0; from < entry.size();) {
                qsizetype length = std::min(slice, entry.size() - from);
                if (from + length < entry.size() && entry.at(from + length - 1).isHighSurrogate())
                    --length;
                bytes += QStringView(entry).mid(from, length).toUtf8();
                from += length;
                if (bytes.size() >= slice)
                    writeAll(std::exchange(bytes, {}));
            }
            bytes += '\n';
        }
        writeAll(bytes);
        lock.lock();
    }
}

void RunLogFile::writeAll(const QByteArray& bytes)
{
    // A failing disk loses the record, never the run.
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
}

void RunLogFile::close()
{
    if (m_fd < 0)
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_wake.notify_one();
    m_writer.join();
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace logs
