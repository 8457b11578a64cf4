#include "separation/StemFiles.h"

#include "base/AppError.h"
#include "base/FileOps.h"
#include "separation/Manifest.h"

#include <QChar>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

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

// Whether folder's manifest names a source other than audioFile.
bool holdsOtherFilesStems(const QString& folder, const QString& audioFile)
{
    // A manifest that cannot be read names no one: perhaps cut short by a
    // crash, so the folder is taken as before.
    const std::optional<Manifest> manifest = readManifest(folder);
    return manifest && !isSameFile(manifest->sourceAudioPath, audioFile);
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
        else if (c >= 0xD800 && c <= 0xDFFF)
            out += QChar::ReplacementCharacter;  // a byte of a name that is not UTF-8
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
        if (!holdsOtherFilesStems(candidate, audioFile))
            return candidate;
    }
}

QByteArray stemsClaimNote(const QString& audioFile, int createdFolders)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("source"), audioFile},
                                     {QStringLiteral("createdFolders"), createdFolders}})
        .toJson(QJsonDocument::Compact);
}

StemsClaimNote parseStemsClaimNote(const QByteArray& note)
{
    const QJsonObject object = QJsonDocument::fromJson(note).object();
    return {object.value(QStringLiteral("source")).toString(), object.value(QStringLiteral("createdFolders")).toInt()};
}

std::variant<ClaimedStemsFolder, qint64> claimStemsFolder(const QString& folder, const QString& audioFile)
{
    // A holder without a note is a sweep that is looking in for a moment.
    constexpr int sweepRetries = 100;
    int waitedForSweep = 0;
    for (int number = 1;; ++number) {
        const QString candidate = number == 1 ? folder : folder + QStringLiteral(" (%1)").arg(number);
        if (holdsOtherFilesStems(candidate, audioFile))
            continue;
        QStringList created;
        for (QString f = candidate; !f.isEmpty() && !fileops::itemExists(f); f = fileops::deletingLastComponent(f))
            created << f;
        fileops::createDirectories(candidate);
        std::variant<ownership::Claim, ownership::Claim::Holder> taken;
        try {
            taken = ownership::Claim::take(fileops::appendingComponent(candidate, claimFileName),
                                           stemsClaimNote(audioFile, int(created.size())));
        } catch (const AppError& error) {
            // A sweep removed the empty folder of a killed run just now: make it again.
            if (error.code() != ENOENT || waitedForSweep++ >= sweepRetries)
                throw;
            --number;
            continue;
        }
        if (const auto* holder = std::get_if<ownership::Claim::Holder>(&taken)) {
            if (holder->note.isEmpty() && waitedForSweep++ < sweepRetries) {
                QThread::msleep(10);
                --number;
                continue;
            }
            const QString source = parseStemsClaimNote(holder->note).source;
            if (!source.isEmpty() && isSameFile(source, audioFile))
                return holder->pid;
            continue;  // the folder and what is in it are the holder's
        }
        ClaimedStemsFolder claimed{candidate, std::move(std::get<ownership::Claim>(taken)), created};
        // Another file's run may have finished there since the first look.
        if (holdsOtherFilesStems(candidate, audioFile)) {
            claimed.claim.release();
            for (const QString& made : std::as_const(created)) {
                if (!QDir().rmdir(made))
                    break;
            }
            continue;
        }
        return claimed;
    }
}

}  // namespace separation
