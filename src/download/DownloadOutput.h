#pragma once

#include <QString>
#include <QSet>
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
    std::optional<QString> match(const QString& line) const;

private:
    QString m_currentDir;
    QString m_folder;  // standardized
};

// The percentage of a yt-dlp progress line ("[download]  42.3% of ..."),
// or nothing for any other line.
std::optional<double> progressPercent(QStringView line);

// The file of a "[download] Destination: PATH" line.
std::optional<QString> destinationPath(QStringView line);

// What a stopped download of destination may have left in its folder: the
// ".part" and ".ytdl" files and the fragments ("NAME.part-Frag3", also with
// ".part" after it). Only entries of that one folder are considered.
QStringList partialFiles(const QString& destination);

// The entries of folder that look like yt-dlp's partial files (".part",
// ".ytdl", ".part-FragN", ".part-FragN.part") and are not named in before.
// yt-dlp names its destination only when not quiet, and "--print" makes it
// quiet, so a stopped run finds its debris this way.
QStringList newPartialFiles(const QString& folder, const QSet<QString>& before);

// What to do about a failed download, read from one of yt-dlp's "ERROR:"
// or "WARNING:" lines. A lower rank is the likelier cause: a missing
// JavaScript runtime explains a missing format, not the other way round.
struct Hint {
    int rank = 0;
    QString text;
};
std::optional<Hint> hintFor(QStringView line);

}  // namespace download
