#pragma once

#include <QString>

#include <optional>

namespace download {

// The audio file yt-dlp reports, or nothing: a path is taken only when it lies
// inside the save folder, compared by whole path components (so /a/Music2 is
// not inside /a/Music), and something exists there. Both sides are read the
// way file URLs read text: relative to the current folder, trailing slash
// ignored. Returns the candidate's path.
std::optional<QString> downloadedFilePath(const QString& line, const QString& saveFolder);

}  // namespace download
