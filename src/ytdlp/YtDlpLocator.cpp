// Where a runnable yt-dlp is, and the launch-time state of the Install button.
#include "ytdlp/YtDlpLocator.h"

#include "app/AppError.h"
#include "app/FileOps.h"

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

QString formatFileByteCount(qint64 bytes)
{
    if (bytes == 0)
        return QStringLiteral("Zero KB");
    const bool negative = bytes < 0;
    const double magnitude = std::abs(static_cast<double>(bytes));
    const QString sign = negative ? QStringLiteral("-") : QString();
    if (magnitude < 1000) {
        const qint64 n = static_cast<qint64>(magnitude);
        return sign + QString::number(n) + (n == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));
    }
    // Kilobytes without decimals, megabytes with one, larger units with two;
    // a value that rounds up to 1000 moves on to the next unit.
    static const struct {
        const char* name;
        int decimals;
    } units[] = {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}};
    double value = magnitude / 1000.0;
    std::size_t unit = 0;
    for (;;) {
        const double scale = std::pow(10.0, units[unit].decimals);
        const double rounded = std::round(value * scale) / scale;
        if (rounded < 1000.0 || unit + 1 == std::size(units)) {
            QString number = QString::number(rounded, 'f', units[unit].decimals);
            if (number.contains(QLatin1Char('.'))) {
                while (number.endsWith(QLatin1Char('0')))
                    number.chop(1);
                if (number.endsWith(QLatin1Char('.')))
                    number.chop(1);
            }
            return sign + number + QLatin1Char(' ') + QLatin1String(units[unit].name);
        }
        value /= 1000.0;
        ++unit;
    }
}

}  // namespace ytdlp
