#pragma once

// Where yt-dlp is looked for and whether a found copy can run.

#include <QString>
#include <QStringList>

#include <QDateTime>
#include <QtGlobal>

#include <optional>

namespace ytdlp {

// Keeps the first of the paths that name the same file once "." and ".." are
// resolved; the kept paths stay as given, so priority order survives.
QStringList deduplicatedCandidates(const QStringList& paths);

// The tool in every non-empty entry of a PATH value, in order.
QStringList pathCandidates(const QString& pathVariable, const QString& tool = QStringLiteral("yt-dlp"));

// Only a regular file (after following symbolic links) can be run as the
// tool; a missing execute bit is repaired to 755 on the way.
bool isUsableExecutable(const QString& path);
// The first candidate that passes isUsableExecutable.
std::optional<QString> firstUsable(const QStringList& candidates);

// Whole days from modified to now; the launch note for a managed yt-dlp
// older than 30 days (YouTube changes faster than that), else nothing.
qint64 ageInDays(const QDateTime& modified, const QDateTime& now);
std::optional<QString> ageNote(const QDateTime& modified, const QDateTime& now);

}  // namespace ytdlp
