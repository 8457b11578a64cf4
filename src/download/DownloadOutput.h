#pragma once

// Reading what yt-dlp prints, and the download folders a killed run leaves.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace download {

// The audio file yt-dlp reports, or nothing: a path is taken only when it lies
// inside the save folder, compared by whole path components (so /a/Music2 is
// not inside /a/Music), and something exists there. Both sides are read the
// way file URLs read text: relative to the current folder, trailing slash
// ignored. Returns the candidate's path.
std::optional<QString> downloadedFilePath(const QString& line, const QString& saveFolder);

// downloadedFilePath for many lines and one save folder: the folder and the
// current directory are read once, not once a line.
class DownloadedFileMatcher {
public:
    explicit DownloadedFileMatcher(const QString& saveFolder);
    // Relative lines are read against currentDir.
    DownloadedFileMatcher(const QString& saveFolder, const QString& currentDir);
    std::optional<QString> match(const QString& line) const;

private:
    QString m_currentDir;
    QString m_folder;  // standardized
};

// The percentage of a yt-dlp progress line ("[download]  42.3% of ..."),
// or nothing for any other line.
std::optional<double> progressPercent(QStringView line);

// What a download prints at the end of a playlist it was handed (its
// entries all skipped). Not a template field, and no path.
inline const QString playlistMarker = QStringLiteral("[stemloft] playlist");

// A download writes only inside a hidden folder of its own in the save
// folder ("PREFIX" + a UUID, holding an owner file); yt-dlp moves the finished
// file out of it. Nothing else in the save folder is ever touched.
inline const QString privateFolderPrefix = QStringLiteral(".stemloft-download-");

// The private folders in saveFolder whose run is gone (ownership::abandonedFolders).
QStringList abandonedPrivateFolders(const QString& saveFolder, const QDateTime& now);

// What to do about a failed download, read from one of yt-dlp's "ERROR:"
// or "WARNING:" lines. A lower rank is the likelier cause: a missing
// JavaScript runtime explains a missing format, not the other way round.
struct Hint {
    int rank = 0;
    QString text;
};
std::optional<Hint> hintFor(QStringView line);

// An error of yt-dlp without the request to report it on yt-dlp's tracker
// that yt-dlp appends to errors it did not expect ("; please report this issue on …").
QString withoutBugReportRequest(const QString& error);

}  // namespace download
