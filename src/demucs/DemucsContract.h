#pragma once

// What Stemloft relies on from Python, pip and Demucs, apart from the jobs that use it.

#include <QString>
#include <QStringList>

#include <optional>

struct PlatformProfile;

namespace demucs {

// The compatibility probe run by the managed interpreter: imports the
// packages, checks their versions and saves and loads a short WAV file.
QString compatibilityProbeScript();

// The places a system Python 3.9 to 3.12 is looked for, in search order:
// the fixed installation locations, then five names in every PATH entry.
QStringList pythonCandidates(const PlatformProfile& profile);

// Text that a POSIX shell reads back as exactly one word.
QString shellQuoted(const QString& text);

// The login shell's command: unset the user's Python variables that the
// profile may have set again, create the environment, upgrade pip inside it,
// then install the pinned packages; the first failing step stops the chain.
// packageOptions go to the package install only (an extra index).
QString installCommandString(const QString& systemPython, const QString& environmentFolder,
                             const QString& managedPython, const QStringList& packageOptions = {});

// pip's raw progress line ("Progress 1234 of 5678", as printed with
// "--progress-bar=raw") as a percentage of the file being downloaded;
// nothing for other lines and for an unknown total.
std::optional<int> pipProgressPercent(QStringView line);

// Why a failed Demucs run failed, from its output lines (last one first): the
// exception line of a traceback ("OSError: [Errno 28] No space left on
// device"), else Demucs's own message ("FATAL: …", "Could not load file …"),
// terminal colours removed; empty when none says.
QString errorLine(const QStringList& lines);
// Whether a line of Python's output tells of a download that failed: URL,
// HTTP and connection errors, name resolution.
bool isDownloadError(QStringView line);

}  // namespace demucs
