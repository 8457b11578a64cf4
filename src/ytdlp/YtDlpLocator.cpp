// Where a runnable yt-dlp is, and the launch-time state of the Install button.
#include "ytdlp/YtDlpLocator.h"

#include "base/AppError.h"
#include "base/FileOps.h"

#include <QSet>

#include <cmath>

namespace ytdlp {

QStringList deduplicatedCandidates(const QStringList& paths)
{
    QStringList kept;
    QSet<QString> seen;
    for (const QString& path : paths) {
        const QString key = fileops::standardizedPath(path);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        kept << path;
    }
    return kept;
}

QStringList pathCandidates(const QString& pathVariable, const QString& tool)
{
    QStringList candidates;
    const QStringList entries = pathVariable.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& entry : entries)
        candidates << fileops::appendingComponent(fileops::fileURLPath(entry), tool);
    return candidates;
}

bool isUsableExecutable(const QString& path)
{
    if (!fileops::isRegularFile(path))
        return false;
    if (fileops::isExecutableFile(path))
        return true;
    fileops::setPosixPermissionsQuietly(path, 0755);
    return fileops::isExecutableFile(path);
}

std::optional<QString> firstUsable(const QStringList& candidates)
{
    for (const QString& candidate : candidates) {
        if (isUsableExecutable(candidate))
            return candidate;
    }
    return std::nullopt;
}

qint64 ageInDays(const QDateTime& modified, const QDateTime& now)
{
    return modified.secsTo(now) / (24 * 60 * 60);
}

std::optional<QString> ageNote(const QDateTime& modified, const QDateTime& now)
{
    const qint64 days = ageInDays(modified, now);
    if (days <= 30)
        return std::nullopt;
    return QStringLiteral("yt-dlp is %1 days old. If downloads fail, choose Update yt-dlp.").arg(days);
}

}  // namespace ytdlp
