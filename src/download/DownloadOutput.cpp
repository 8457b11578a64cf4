// Reading what yt-dlp prints and what a download leaves behind.
#include "download/DownloadOutput.h"

#include "base/FileOps.h"
#include "process/Ownership.h"

#include <QDir>
#include <QRegularExpression>

#include <cmath>

namespace download {

std::optional<QString> downloadedFilePath(const QString& line, const QString& saveFolder)
{
    return DownloadedFileMatcher(saveFolder).match(line);
}

DownloadedFileMatcher::DownloadedFileMatcher(const QString& saveFolder)
    : m_currentDir(QDir::currentPath()), m_folder(fileops::standardizedPath(saveFolder))
{
}

DownloadedFileMatcher::DownloadedFileMatcher(const QString& saveFolder, const QString& currentDir)
    : m_currentDir(currentDir), m_folder(fileops::standardizedPath(saveFolder))
{
}

std::optional<QString> DownloadedFileMatcher::match(const QString& line) const
{
    // No file has a longer path (stat(2) would say ENAMETOOLONG), and making
    // a path of a megabyte-long line takes time the window does not have.
    if (line.size() >= PATH_MAX)
        return std::nullopt;
    const QString candidate = fileops::fileURLPath(line, m_currentDir);
    QString standardized = QDir::cleanPath(candidate);
    // The folder itself is no downloaded file.
    if (standardized == m_folder || !fileops::isInsideStandardizedFolder(standardized, m_folder))
        return std::nullopt;
    if (!fileops::itemExists(candidate)) {
        // Output read as UTF-8 shows a name that is not with U+FFFD.
        standardized = fileops::resolveShownPath(standardized);
        if (!fileops::itemExists(standardized))
            return std::nullopt;
    }
    return standardized;
}

std::optional<double> progressPercent(QStringView line)
{
    if (!line.startsWith(QLatin1String("[download]")))
        return std::nullopt;
    static const QRegularExpression pattern(QStringLiteral("^\\[download\\]\\s+(\\d{1,3}(?:\\.\\d+)?)%"));
    const QRegularExpressionMatch match = pattern.match(line);
    if (!match.hasMatch())
        return std::nullopt;
    const double value = match.captured(1).toDouble();
    if (value > 100)
        return std::nullopt;
    return value;
}

QStringList abandonedPrivateFolders(const QString& saveFolder, const QDateTime& now)
{
    return ownership::abandonedFolders(saveFolder, privateFolderPrefix, now);
}

std::optional<Hint> hintFor(QStringView line)
{
    if (!line.startsWith(QLatin1String("ERROR:")) && !line.startsWith(QLatin1String("WARNING:")))
        return std::nullopt;
    static const struct {
        const char* needle;
        const char* hint;
    } table[] = {
        {"Sign in to confirm", "YouTube asks for a signed-in browser: choose your browser under Cookies and try again."},
        {"No supported JavaScript runtime", "yt-dlp needs Deno for YouTube: choose Update yt-dlp to install it."},
        {"HTTP Error 403", "The site changed: choose Update yt-dlp and try again."},
        {"Requested format is not available", "The site changed: choose Update yt-dlp and try again."},
        {"Unable to extract", "The site changed: choose Update yt-dlp and try again."},
        {"Unsupported URL", "yt-dlp cannot download from this address."},
        {"Temporary failure in name resolution", "Check the internet connection and try again."},
        {"Network is unreachable", "Check the internet connection and try again."},
        {"timed out", "Check the internet connection and try again."},
    };
    for (int rank = 0; rank < int(std::size(table)); ++rank) {
        if (line.contains(QLatin1String(table[rank].needle), Qt::CaseInsensitive))
            return Hint{rank, QString::fromLatin1(table[rank].hint)};
    }
    return std::nullopt;
}

QString withoutBugReportRequest(const QString& error)
{
    const qsizetype request = error.indexOf(QLatin1String("; please report this issue on "));
    return request < 0 ? error : error.left(request);
}

}  // namespace download
