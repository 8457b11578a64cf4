// Exporting Demucs's stems as .m4a files with a manifest, and reporting it.
#include "app/AppDelegate.h"
#include "app/AppError.h"
#include "app/FileOps.h"
#include "separation/Manifest.h"
#include "separation/StemFiles.h"

#include <QDateTime>
#include <QLineEdit>
#include <QUuid>

void AppDelegate::finishSeparation(const QString& outputRoot, const QString& audioURL, SeparationMode mode)
{
    try {
        const QString stemsFolder = saveDemucsOutput(outputRoot, audioURL, mode);
        appendLog(QStringLiteral("Stem separation complete."));
        appendLog(QStringLiteral("Saved stems: ") + stemsFolder);
        showAlert(QStringLiteral("Stem Separation Complete"), QStringLiteral("Stems were saved to ") + stemsFolder);
    } catch (const AppError& error) {
        appendLog(QStringLiteral("Failed to save stems: ") + error.localizedDescription());
        showAlert(QStringLiteral("Stem Save Failed"), error.localizedDescription());
    }
    fileops::removeItemQuietly(outputRoot);
}

QString AppDelegate::saveDemucsOutput(const QString& outputRoot, const QString& audioURL, SeparationMode mode)
{
    using fileops::appendingComponent;
    const QString modelFolder = appendingComponent(outputRoot, mode.demucsModel());
    const QString folderName =
        separation::sanitizeFileName(fileops::deletingPathExtension(fileops::lastComponent(audioURL)));
    const QString stemsFolder = appendingComponent(
        appendingComponent(fileops::fileURLPath(folderField->text()), QStringLiteral("stems")), folderName);
    fileops::createDirectories(stemsFolder);

    separation::Manifest manifest;
    manifest.mode = mode.modeLabel();
    manifest.model = mode.demucsModel();
    manifest.sourceAudioPath = audioURL;
    for (const QString& stem : mode.stems()) {
        const std::optional<QString> wav = separation::findFile(stem + QStringLiteral(".wav"), modelFolder);
        if (!wav)
            throw AppError::stemloft(1, QStringLiteral("Demucs did not produce ") + stem + QStringLiteral(".wav"));
        const QString fileName = stem + QStringLiteral(".m4a");
        const QString target = appendingComponent(stemsFolder, fileName);
        const QString staleCopy = appendingComponent(stemsFolder, stem + QStringLiteral(".wav"));
        if (fileops::itemExists(staleCopy))
            fileops::removeItem(staleCopy);
        appendLog(QStringLiteral("Encoding ") + fileName + QStringLiteral("..."));

        // The earlier export's file stays until the new one is complete.
        const QString partial = appendingComponent(
            stemsFolder, QStringLiteral(".%1.%2.tmp")
                             .arg(fileName, QUuid::createUuid().toString(QUuid::WithoutBraces)));
        try {
            convertWavToM4a(*wav, partial);
            fileops::moveItem(partial, target);
        } catch (...) {
            fileops::removeItemQuietly(partial);
            throw;
        }
        manifest.stems.append({stem, QStringLiteral("stems/") + folderName + QLatin1Char('/') + fileName,
                               fileops::fileSize(target).value_or(0)});
    }
    manifest.createdAt = QDateTime::currentDateTimeUtc();
    // A crash or a full disk mid-write must not leave a truncated manifest.
    fileops::writeFileAtomically(appendingComponent(stemsFolder, QStringLiteral("manifest.json")),
                                 separation::manifestJson(manifest));
    return stemsFolder;
}
