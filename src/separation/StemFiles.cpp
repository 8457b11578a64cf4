#include "separation/StemFiles.h"

#include "app/FileOps.h"
#include "separation/Manifest.h"

#include <QChar>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace separation {

namespace {

bool isForbidden(char32_t c)
{
    switch (c) {
    case U'<': case U'>': case U':': case U'"': case U'/':
    case U'\\': case U'|': case U'?': case U'*':
        return true;
    default: {
        const QChar::Category category = QChar::category(c);
        return category == QChar::Other_Control || category == QChar::Other_Format;
    }
    }
}

bool isTrimmed(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('.');
}

}  // namespace

QString sanitizeFileName(const QString& name)
{
    QString out;
    out.reserve(name.size());
    for (const char32_t c : name.toUcs4()) {
        if (isForbidden(c))
            out += QLatin1Char('_');
        else
            out += QString::fromUcs4(&c, 1);
    }
    qsizetype start = 0;
    qsizetype end = out.size();
    while (start < end && isTrimmed(out.at(start)))
        ++start;
    while (end > start && isTrimmed(out.at(end - 1)))
        --end;
    out = out.mid(start, end - start);
    return out.isEmpty() ? QStringLiteral("reference") : out;
}

std::optional<QString> findFile(const QString& name, const QString& folder)
{
    // Without QDir::Hidden, dot entries are skipped; System keeps dangling links.
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString path = fileops::appendingComponent(folder, entry.fileName());
        if (entry.fileName() == name)
            return path;
        if (entry.isDir() && !entry.isSymLink()) {
            if (auto found = findFile(name, path))
                return found;
        }
    }
    return std::nullopt;
}

bool isSameFile(const QString& a, const QString& b)
{
    if (QDir::cleanPath(a) == QDir::cleanPath(b))
        return true;
    const QString canonical = QFileInfo(a).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(b).canonicalFilePath();
}

std::optional<Manifest> readManifest(const QString& stemsFolder)
{
    QFile file(fileops::appendingComponent(stemsFolder, QStringLiteral("manifest.json")));
    // Big enough for any manifest; a larger file is not one of ours.
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parseManifest(file.read(1 << 20));
}

QString stemsFolderKeepingOthers(const QString& folder, const QString& audioFile)
{
    for (int number = 1;; ++number) {
        const QString candidate = number == 1 ? folder : folder + QStringLiteral(" (%1)").arg(number);
        // A manifest that cannot be read names no one: perhaps cut short by
        // a crash, so the folder is taken as before.
        const std::optional<Manifest> manifest = readManifest(candidate);
        if (!manifest || isSameFile(manifest->sourceAudioPath, audioFile))
            return candidate;
    }
}

}  // namespace separation
