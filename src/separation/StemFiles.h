#pragma once

// The stems folder of a run: its name, its claim and the files written into it.

#include "process/Ownership.h"
#include "separation/Manifest.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace separation {

// A folder name made from an audio file's base name: every character that
// is not allowed in file names elsewhere (< > : " / \ | ? * and control or
// format characters) becomes "_", spaces and full stops are trimmed from the
// ends, and an empty result becomes "reference".
QString sanitizeFileName(const QString& name);

// The first entry named exactly name below folder, walking depth first in
// name order, never entering hidden entries or following linked folders.
std::optional<QString> findFile(const QString& name, const QString& folder);

// Whether two paths name one file: the same path once cleaned, or the same
// file after links are resolved.
bool isSameFile(const QString& a, const QString& b);

// Where the stems of audioFile go: folder, unless its manifest.json names
// another source, then "folder (2)", "folder (3)", ...: the first without a
// readable manifest or with audioFile's own. Another song with the
// same file name never overwrites these stems.
QString stemsFolderKeepingOthers(const QString& folder, const QString& audioFile);

// The file in a stems folder that says which run writes into it now.
inline const QString claimFileName = QStringLiteral(".stemloft-claim");

// A stems folder a run holds until it ends: no other Stemloft writes there meanwhile.
struct ClaimedStemsFolder {
    QString folder;
    ownership::Claim claim;
    // The folders the claim made, innermost first: a failed run takes them back.
    QStringList createdFolders;
};

// stemsFolderKeepingOthers for runs at the same time: the first folder that
// neither holds another file's stems nor is held by a run of another file,
// created and claimed in one step. When a live run of audioFile itself holds
// it, that run's process id instead. Throws AppError when the folder cannot
// be made or claimed.
std::variant<ClaimedStemsFolder, qint64> claimStemsFolder(const QString& folder, const QString& audioFile);

// The source, and how many folders of the path the claim made (the stems
// folder, "stems" above it, ...), as a claim notes them.
QByteArray stemsClaimNote(const QString& audioFile, int createdFolders);
struct StemsClaimNote {
    QString source;
    int createdFolders = 0;
};
StemsClaimNote parseStemsClaimNote(const QByteArray& note);

// The manifest in stemsFolder, when there is one that can be read.
std::optional<Manifest> readManifest(const QString& stemsFolder);

}  // namespace separation
