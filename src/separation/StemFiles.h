#pragma once

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

}  // namespace separation
