#include "fetch/DownloadTicker.h"

#include "base/ByteCount.h"
#include "base/FileOps.h"

#include <QDirIterator>
#include <QFileInfo>

DownloadTicker::DownloadTicker(int intervalMs, QObject* parent) : QObject(parent)
{
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        const std::optional<qint64> bytes = bytesAt(m_path);
        if (bytes && *bytes > 0)
            emit ticked(formatFileByteCount(*bytes));
    });
}

void DownloadTicker::start(const QString& path)
{
    m_path = path;
    m_timer.start();
}

void DownloadTicker::stop()
{
    m_timer.stop();
}

std::optional<qint64> DownloadTicker::bytesAt(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isDir() || info.isSymLink())
        return fileops::fileSize(path);
    qint64 total = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext())
        total += it.nextFileInfo().size();
    return total;
}
