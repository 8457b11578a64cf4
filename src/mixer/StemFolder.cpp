#include "mixer/StemFolder.h"

#include "separation/Manifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace mixer {

QString StemFolder::mixesFolder() const
{
    return folder + QStringLiteral("/mixes");
}

bool looksLikeStemFolder(const QString& path)
{
    return QFileInfo(path).isDir() && QFileInfo(QDir(path).filePath(QStringLiteral("manifest.json"))).isFile();
}

std::variant<StemFolder, QString> readStemFolder(const QString& path)
{
    const QString folder = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QString shown = QDir::toNativeSeparators(folder);
    QFile file(QDir(folder).filePath(QStringLiteral("manifest.json")));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("No stems were found in %1: it has no manifest.json.").arg(shown);
    // A manifest is a few hundred bytes; a huge file is not one.
    const std::optional<separation::Manifest> manifest = separation::parseManifest(file.read(1 << 20));
    if (!manifest)
        return QStringLiteral("The manifest.json in %1 cannot be read.").arg(shown);
    StemFolder result;
    result.folder = folder;
    result.name = QFileInfo(folder).fileName();
    for (const separation::ManifestStem& stem : manifest->stems) {
        const QString fileName = QFileInfo(stem.path).fileName();
        if (stem.kind.isEmpty() || fileName.isEmpty())
            continue;
        const QString stemPath = QDir(folder).filePath(fileName);
        if (!QFileInfo(stemPath).isFile())
            return QStringLiteral("The stem %1 is missing from %2.").arg(fileName, shown);
        result.stems.append({stem.kind, stemPath});
    }
    if (result.stems.isEmpty())
        return QStringLiteral("The manifest.json in %1 names no stems.").arg(shown);
    return result;
}

QString safeFileName(const QString& name)
{
    QString safe;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':') || c.category() == QChar::Other_Control)
            safe += QLatin1Char('-');
        else
            safe += c;
    }
    while (safe.startsWith(QLatin1Char('.')))
        safe.remove(0, 1);
    safe = safe.left(200).trimmed();
    return safe.isEmpty() ? QStringLiteral("mix") : safe;
}

}  // namespace mixer
