#pragma once

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

// The percentage of a yt-dlp progress line ("[download]  42.3% of ..."),
// or nothing for any other line.
std::optional<double> progressPercent(QStringView line);

// The file of a "[download] Destination: PATH" line.
std::optional<QString> destinationPath(QStringView line);

// What a stopped download of destination may have left in its folder: the
// ".part" and ".ytdl" files and the fragments ("NAME.part-Frag3", also with
// ".part" after it). Only entries of that one folder are considered.
QStringList partialFiles(const QString& destination);

}  // namespace download
