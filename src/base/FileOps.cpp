#include "base/FileOps.h"

#include "base/AppError.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QThread>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fileops {

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

void throwErrno(int err, const QString& what)
{
    throw AppError(QStringLiteral("FileSystem"), err, what + QStringLiteral(": ") + errnoText(err));
}

namespace {

std::filesystem::path fsPath(const QString& path)
{
    return std::filesystem::path(path.toStdString());
}

QString collapseSeparators(QString path)
{
    while (path.contains(QLatin1String("//")))
        path.replace(QLatin1String("//"), QLatin1String("/"));
    if (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

}  // namespace

QString fileURLPath(const QString& text)
{
    return text.startsWith(QLatin1Char('/')) ? collapseSeparators(text) : fileURLPath(text, QDir::currentPath());
}

QString fileURLPath(const QString& text, const QString& currentDir)
{
    if (text.startsWith(QLatin1Char('/')))
        return collapseSeparators(text);
    return collapseSeparators(currentDir + QLatin1Char('/') + text);
}

QString standardizedPath(const QString& text)
{
    return QDir::cleanPath(fileURLPath(text));
}

QString appendingComponent(const QString& dir, const QString& component)
{
    if (dir.endsWith(QLatin1Char('/')))
        return dir + component;
    return dir + QLatin1Char('/') + component;
}

QString lastComponent(const QString& path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? p : p.mid(slash + 1);
}

QString deletingLastComponent(const QString& path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    if (slash == 0)
        return QStringLiteral("/");
    return p.left(slash);
}

QString pathExtension(const QString& path)
{
    const QString name = lastComponent(path);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1)
        return QString();
    return name.mid(dot + 1);
}

QString deletingPathExtension(const QString& name)
{
    const QString ext = pathExtension(name);
    if (ext.isEmpty())
        return name;
    return name.left(name.size() - ext.size() - 1);
}

bool isInsideFolder(const QString& child, const QString& dir)
{
    return isInsideStandardizedFolder(standardizedPath(child), standardizedPath(dir));
}

bool isInsideStandardizedFolder(const QString& child, const QString& dir)
{
    if (child == dir)
        return true;
    if (dir == QLatin1String("/"))
        return child.startsWith(QLatin1Char('/'));
    return child.startsWith(dir) && child.size() > dir.size() && child.at(dir.size()) == QLatin1Char('/');
}

bool itemExists(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool isExecutableFile(const QString& path)
{
    return ::access(QFile::encodeName(path).constData(), X_OK) == 0;
}

bool isRegularFile(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return S_ISREG(st.st_mode);
}

std::optional<qint64> fileSize(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return static_cast<qint64>(st.st_size);
}

void createDirectories(const QString& path)
{
    std::error_code ec;
    std::filesystem::create_directories(fsPath(path), ec);
    if (ec) {
        throw AppError(QStringLiteral("FileSystem"), ec.value(),
                       QStringLiteral("Could not create the folder \"%1\": %2")
                           .arg(path, QString::fromStdString(ec.message())));
    }
    if (!QFileInfo(path).isDir())
        throwErrno(ENOTDIR, QStringLiteral("Could not create the folder \"%1\"").arg(path));
}

void removeItem(const QString& path)
{
    std::error_code ec;
    std::filesystem::remove_all(fsPath(path), ec);
    if (ec) {
        throw AppError(QStringLiteral("FileSystem"), ec.value(),
                       QStringLiteral("Could not remove \"%1\": %2")
                           .arg(path, QString::fromStdString(ec.message())));
    }
}

bool removeItemQuietly(const QString& path)
{
    std::error_code ec;
    std::filesystem::remove_all(fsPath(path), ec);
    return !ec;
}

void moveItem(const QString& from, const QString& to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        throwErrno(errno, QStringLiteral("Could not move \"%1\" to \"%2\"").arg(from, to));
}

void setPosixPermissions(const QString& path, unsigned mode)
{
    if (::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)) != 0)
        throwErrno(errno, QStringLiteral("Could not change the permissions of \"%1\"").arg(path));
}

bool setPosixPermissionsQuietly(const QString& path, unsigned mode)
{
    return ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)) == 0;
}

void writeFileAtomically(const QString& path, const QByteArray& bytes)
{
    const QString dir = deletingLastComponent(path);
    const QString temp = appendingComponent(
        dir, QStringLiteral(".%1.%2.tmp")
                 .arg(lastComponent(path), QUuid::createUuid().toString(QUuid::WithoutBraces)));
    const QByteArray tempName = QFile::encodeName(temp);
    const int fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        throwErrno(errno, QStringLiteral("Could not write \"%1\"").arg(path));
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            ::close(fd);
            ::unlink(tempName.constData());
            throwErrno(err, QStringLiteral("Could not write \"%1\"").arg(path));
        }
        written += n;
    }
    const bool synced = ::fsync(fd) == 0;
    int err = synced ? 0 : errno;
    if (::close(fd) != 0 && synced)
        err = errno;
    if (err != 0) {
        ::unlink(tempName.constData());
        throwErrno(err, QStringLiteral("Could not write \"%1\"").arg(path));
    }
    if (::rename(tempName.constData(), QFile::encodeName(path).constData()) != 0) {
        const int err = errno;
        ::unlink(tempName.constData());
        throwErrno(err, QStringLiteral("Could not write \"%1\"").arg(path));
    }
}

}  // namespace fileops
