#pragma once

#include "separation/Manifest.h"

#include <QString>
#include <optional>

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

// The manifest in stemsFolder, when there is one that can be read.
std::optional<Manifest> readManifest(const QString& stemsFolder);

}  // namespace separation
