#include "jobs/SaveFolderCheck.h"

#include "base/FileOps.h"

#include "base/AppError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace savefolder {

namespace {

const QString notAFolder = QStringLiteral("It is a file, not a folder.");

// errno of creating and removing a hidden file in folder, or 0.
int writeProbe(const QString& folder)
{
    const QString probe = fileops::appendingComponent(
        folder, QStringLiteral(".stemloft-write-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces));
    const QByteArray name = fileops::encodePath(probe);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    ::close(fd);
    if (::unlink(name.constData()) != 0)
        return errno;
    return 0;
}

}  // namespace

bool hasControlCharacters(const QString& path)
{
    return std::any_of(path.cbegin(), path.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

bool isAcceptable(const QString& path)
{
    return path.startsWith(QLatin1Char('/')) && !hasControlCharacters(path);
}

std::optional<QString> problem(const QString& path)
{
    if (hasControlCharacters(path))
        return QStringLiteral("Folder names with line breaks are not supported.");
    const QString clean = QDir::cleanPath(path);
    const QFileInfo info(clean);
    if (info.exists()) {
        if (!info.isDir())
            return notAFolder;
        if (const int err = writeProbe(clean))
            return QStringLiteral("The folder cannot be written: ") + fileops::errnoText(err) + QLatin1Char('.');
        return std::nullopt;
    }
    // A missing folder is made by the run; nothing is created here, so a run
    // that fails later leaves no empty folders. It can be made when every
    // missing name fits and the nearest existing folder takes new entries.
    QString existing = clean;
    while (!existing.isEmpty() && !QFileInfo(existing).exists() && !QFileInfo(existing).isSymLink()) {
        if (fileops::encodePath(fileops::lastComponent(existing)).size() > NAME_MAX)
            return QStringLiteral("The folder cannot be created: ") + fileops::errnoText(ENAMETOOLONG) + QLatin1Char('.');
        existing = fileops::deletingLastComponent(existing);
    }
    if (!QFileInfo(existing).isDir())
        return QStringLiteral("The folder cannot be created: %1 is a file, not a folder.").arg(existing);
    if (const int err = writeProbe(existing))
        return QStringLiteral("The folder cannot be created: ") + fileops::errnoText(err) + QLatin1Char('.');
    return std::nullopt;
}

std::optional<QString> stemsFolderProblem(const QString& saveFolder, const QString& stemsFolder)
{
    const QString base = QDir::cleanPath(fileops::fileURLPath(saveFolder));
    QStringList chain;  // from stemsFolder up to, not including, the save folder
    for (QString item = QDir::cleanPath(stemsFolder); !item.isEmpty() && item != base && item != QLatin1String("/");
         item = fileops::deletingLastComponent(item))
        chain.prepend(item);
    for (const QString& item : std::as_const(chain)) {
        const QFileInfo info(item);
        if (!info.exists() && !info.isSymLink())
            return std::nullopt;  // made by the export
        if (!info.isDir())
            return item + QStringLiteral(": ") + notAFolder;
    }
    if (const int err = writeProbe(stemsFolder))
        return stemsFolder + QStringLiteral(": The folder cannot be written: ") + fileops::errnoText(err) + QLatin1Char('.');
    return std::nullopt;
}

QString defaultedMessage(const QString& path)
{
    return QStringLiteral("Save folder was not set; using ") + path + QLatin1Char('.');
}

}  // namespace savefolder
