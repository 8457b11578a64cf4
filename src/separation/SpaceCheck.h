#pragma once

// Whether a separation's files fit before minutes of work are spent, and
// what a disk that filled meanwhile is called.

#include "base/PlatformProfile.h"
#include "separation/ExportFormat.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace separation {

// What a separation of seconds of audio writes, in bytes: to the temporary
// folder the input as 16-bit stereo WAV (unless it is one already) and every
// stem at Demucs's depth, and to the stems folder every stem in the format.
struct SpaceNeeds {
    qint64 temporary = 0;
    qint64 stems = 0;
};
// A long recording separated in parts: the input's copy cut in parts (at
// inputBytesPerSecond), every stem of every part, and the joined stems.
struct PartsSpace {
    int parts = 1;
    double overlapSeconds = 0;
    double inputBytesPerSecond = 44100 * 2 * 2;
};
SpaceNeeds spaceNeeds(double seconds, int stemCount, ExportFormat format, bool convertsInput,
                      const PartsSpace& parts = {});

// The program beside the converter that tells a file's duration (ffprobe,
// afinfo), with its arguments; no program when there is none.
struct DurationProbe {
    QString program;
    QStringList arguments;
};
DurationProbe durationProbe(const PlatformProfile& profile, const QString& file);
// The duration in seconds that probe's output gives.
std::optional<double> parseDuration(const QByteArray& output);

// "There is not enough free space in FOLDER: about N MB needed, M MB free.",
// for the first folder that lacks it (both counted together when they share
// a file system), or nothing when both fit or free space cannot be read.
std::optional<QString> spaceShortage(const QString& temporaryFolder, qint64 temporaryBytes,
                                     const QString& stemsFolder, qint64 stemsBytes);
// The same sentence for a disk that filled during the run: "FOLDER ran out
// of space", with the estimate when there is one.
QString ranOutOfSpace(const QString& folder, std::optional<qint64> neededBytes);
// Whether a tool's message says the disk is full.
bool saysOutOfSpace(const QString& text);

}  // namespace separation
