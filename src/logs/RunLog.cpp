#include "logs/RunLog.h"

#include "app/AppError.h"
#include "app/FileOps.h"

#include <QDir>

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
    QString path;
    for (int n = 1; path.isEmpty() || fileops::itemExists(path); ++n)
        path = fileops::appendingComponent(folder, numberedFileName(startedAt, kind, n));
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        m_error = m_file.errorString();
        return false;
    }
    m_error.clear();
    return true;
}

void RunLogFile::write(const QStringList& entries)
{
    if (!m_file.isOpen() || entries.isEmpty())
        return;
    QByteArray bytes = entries.join(QLatin1Char('\n')).toUtf8();
    bytes.append('\n');
    m_file.write(bytes);
}

void RunLogFile::close()
{
    if (m_file.isOpen())
        m_file.close();
}

}  // namespace logs
