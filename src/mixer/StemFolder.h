#pragma once

// A folder of stems as a separation leaves it: stems/NAME/ with a
// manifest.json naming the stems in their order.

#include <QList>
#include <QString>

#include <variant>

namespace mixer {

struct StemFile {
    QString name;  // the manifest's kind: "vocals", "drums", ...
    QString path;  // absolute
};

struct StemFolder {
    QString folder;  // absolute, without a trailing "/"
    QString name;    // the folder's name, the song's
    QList<StemFile> stems;

    // Where saved mixes go: NAME/mixes.
    QString mixesFolder() const;
};

// The stems of a folder with a manifest.json, in the manifest's order. A
// stem is looked up by its file name inside the folder, so a folder that was
// moved or renamed still opens. The reason, worded for the user, when the
// folder has no readable manifest, no stems, or a stem file is missing.
std::variant<StemFolder, QString> readStemFolder(const QString& folder);

// Whether path is a folder holding a manifest.json: what a drop may open.
bool looksLikeStemFolder(const QString& path);

// name made safe as a file name: no path separators or control characters,
// no leading dot, at most 200 characters.
QString safeFileName(const QString& name);

}  // namespace mixer
