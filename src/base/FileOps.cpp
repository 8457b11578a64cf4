#include "base/FileOps.h"

#include "base/AppError.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QThread>
#include <QUrl>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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

// A byte kept as text where it is not part of valid UTF-8.
constexpr char16_t escapedByteBase = 0xDC00;

bool isEscapedByte(const QString& text, qsizetype i)
{
    const char16_t c = text.at(i).unicode();
    return c >= 0xDC80 && c <= 0xDCFF && (i == 0 || !text.at(i - 1).isHighSurrogate());
}

}  // namespace

QString decodePath(const QByteArray& bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    QString out;
    out.reserve(n);
    for (qsizetype i = 0; i < n;) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            out += QChar(char16_t(lead));
            ++i;
            continue;
        }
        int length = 0;
        char32_t code = 0;
        char32_t least = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, code = lead & 0x1F, least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, code = lead & 0x0F, least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, code = lead & 0x07, least = 0x10000;
        }
        bool valid = length > 0 && i + length <= n;
        for (int k = 1; valid && k < length; ++k) {
            valid = (p[i + k] & 0xC0) == 0x80;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, encoded surrogates and values past Unicode are not UTF-8 either.
        if (!valid || code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            out += QChar(char16_t(escapedByteBase + lead));
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            out += QChar(QChar::highSurrogate(code));
            out += QChar(QChar::lowSurrogate(code));
        } else {
            out += QChar(char16_t(code));
        }
        i += length;
    }
    return out;
}

bool isUtf8Path(const QString& path)
{
    for (qsizetype i = 0; i < path.size(); ++i) {
        if (isEscapedByte(path, i))
            return false;
    }
    return true;
}

QByteArray encodePath(const QString& path)
{
    if (isUtf8Path(path))
        return path.toUtf8();
    QByteArray out;
    qsizetype from = 0;
    for (qsizetype i = 0; i < path.size(); ++i) {
        if (!isEscapedByte(path, i))
            continue;
        out += QStringView(path).mid(from, i - from).toUtf8();
        out += char(path.at(i).unicode() - escapedByteBase);
        from = i + 1;
    }
    return out + QStringView(path).mid(from).toUtf8();
}

QString shownPath(const QString& path)
{
    if (isUtf8Path(path))
        return path;
    QString shown = path;
    for (qsizetype i = 0; i < shown.size(); ++i) {
        if (isEscapedByte(path, i))
            shown[i] = QChar::ReplacementCharacter;
    }
    return shown;
}

QString localPathOf(const QUrl& url)
{
    if (!url.isLocalFile())
        return QString();
    // toLocalFile() would turn bytes that are not UTF-8 into U+FFFD.
    return decodePath(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
}

QString resolveShownPath(const QString& path)
{
    if (!path.contains(QChar::ReplacementCharacter) || itemExists(path))
        return path;
    QString resolved;
    const QStringList components = path.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < components.size(); ++i) {
        const QString& component = components.at(i);
        const QString folder = resolved;
        resolved = i == 0 ? component : resolved + QLatin1Char('/') + component;
        if (i == 0 || component.isEmpty() || itemExists(resolved))
            continue;
        if (!component.contains(QChar::ReplacementCharacter))
            return path;
        // A chooser lists names through Qt's lossy UTF-8 decoding; the name
        // that reads the same way is the one chosen.
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.isEmpty() ? "/" : encodePath(folder).constData()),
                                                ::closedir);
        if (!dir)
            return path;
        std::optional<QString> match;
        while (const dirent* entry = ::readdir(dir.get())) {
            if (QString::fromUtf8(entry->d_name) != component)
                continue;
            if (match)
                return path;  // two names read the same: which one is unknown
            match = decodePath(QByteArray(entry->d_name));
        }
        if (!match)
            return path;
        resolved = folder + QLatin1Char('/') + *match;
    }
    return resolved;
}

namespace {

std::filesystem::path fsPath(const QString& path)
{
    return std::filesystem::path(encodePath(path).toStdString());
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
    return ::lstat(encodePath(path).constData(), &st) == 0;
}

bool isExecutableFile(const QString& path)
{
    return ::access(encodePath(path).constData(), X_OK) == 0;
}

bool isRegularFile(const QString& path)
{
    struct stat st;
    if (::stat(encodePath(path).constData(), &st) != 0)
        return false;
    return S_ISREG(st.st_mode);
}

bool exists(const QString& path)
{
    struct stat st;
    return ::stat(encodePath(path).constData(), &st) == 0;
}

std::optional<qint64> fileSize(const QString& path)
{
    struct stat st;
    if (::stat(encodePath(path).constData(), &st) != 0)
        return std::nullopt;
    return static_cast<qint64>(st.st_size);
}

std::optional<qint64> availableBytes(const QString& path)
{
    struct statvfs vfs;
    if (::statvfs(encodePath(path).constData(), &vfs) != 0)
        return std::nullopt;
    return static_cast<qint64>(vfs.f_bavail) * static_cast<qint64>(vfs.f_frsize);
}

std::optional<quint64> fileSystemId(const QString& path)
{
    struct stat st;
    if (::stat(encodePath(path).constData(), &st) != 0)
        return std::nullopt;
    return static_cast<quint64>(st.st_dev);
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
    if (::rename(encodePath(from).constData(), encodePath(to).constData()) != 0)
        throwErrno(errno, QStringLiteral("Could not move \"%1\" to \"%2\"").arg(from, to));
}

void setPosixPermissions(const QString& path, unsigned mode)
{
    if (::chmod(encodePath(path).constData(), static_cast<mode_t>(mode)) != 0)
        throwErrno(errno, QStringLiteral("Could not change the permissions of \"%1\"").arg(path));
}

void putExecutableInPlace(const QString& file, const QString& target)
{
    setPosixPermissions(file, 0755);
    const QFileInfo existing(target);
    if (existing.isDir() && !existing.isSymLink())
        removeItem(target);
    moveItem(file, target);
}

bool setPosixPermissionsQuietly(const QString& path, unsigned mode)
{
    return ::chmod(encodePath(path).constData(), static_cast<mode_t>(mode)) == 0;
}

void writeFileAtomically(const QString& path, const QByteArray& bytes)
{
    const QString dir = deletingLastComponent(path);
    const QString temp = appendingComponent(
        dir, QStringLiteral(".%1.%2.tmp")
                 .arg(lastComponent(path), QUuid::createUuid().toString(QUuid::WithoutBraces)));
    const QByteArray tempName = encodePath(temp);
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
    if (::rename(tempName.constData(), encodePath(path).constData()) != 0) {
        const int err = errno;
        ::unlink(tempName.constData());
        throwErrno(err, QStringLiteral("Could not write \"%1\"").arg(path));
    }
}

bool openPipe(int fds[2])
{
#ifdef Q_OS_LINUX
    return ::pipe2(fds, O_CLOEXEC) == 0;  // in one step: no fork in between can inherit them
#else
    // macOS has no pipe2.
    if (::pipe(fds) != 0)
        return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
#endif
}

}  // namespace fileops
