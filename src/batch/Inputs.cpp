#include "batch/Inputs.h"

#include "base/FileOps.h"
#include "download/Listing.h"

#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace batch {

namespace {

QStringList words(const QString& text)
{
    static const QRegularExpression space(QStringLiteral("\\s+"));
    return text.split(space, Qt::SkipEmptyParts);
}

QString linkKey(const QString& link)
{
    return QUrl(link).adjusted(QUrl::StripTrailingSlash | QUrl::NormalizePathSegments).toString();
}

}  // namespace

bool isWebLink(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

UrlList parseUrlList(const QString& text)
{
    const QStringList given = words(text);
    if (given.isEmpty())
        return {};
    if (std::none_of(given.cbegin(), given.cend(), isWebLink)) {
        if (download::isYtDlpSearch(text))
            return {QStringList{text.trimmed()}, {}, {}};
        // A line break in a pasted name is a space to the search.
        return {{}, {}, given.join(QLatin1Char(' '))};
    }
    UrlList list;
    QSet<QString> seen;
    for (const QString& word : given) {
        if (!isWebLink(word))
            list.rejected << word;
        else if (const QString key = linkKey(word); !seen.contains(key)) {
            seen.insert(key);
            list.urls << word;
        }
    }
    return list;
}

bool isAudioOrVideoFile(const QString& path)
{
    if (!fileops::isRegularFile(path))
        return false;
    QMimeDatabase mimes;
    QMimeType type;
    if (fileops::isUtf8Path(path)) {
        type = mimes.mimeTypeForFile(QFileInfo(path));
    } else {
        // Qt cannot open a name that is not UTF-8: its bytes are opened here.
        QFile file;
        const int fd = ::open(fileops::encodePath(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        type = mimes.mimeTypeForFileNameAndData(fileops::shownPath(fileops::lastComponent(path)), &file);
    }
    for (const QString& name : QStringList{type.name()} + type.allAncestors()) {
        if (name.startsWith(QLatin1String("audio/")) || name.startsWith(QLatin1String("video/")))
            return true;
    }
    return false;
}

Drop classifyDrop(const QList<QUrl>& urls, const QString& text)
{
    Drop drop;
    if (urls.isEmpty()) {
        for (const QString& word : words(text))
            (isWebLink(word) ? drop.links : drop.refused) << word;
        return drop;
    }
    for (const QUrl& url : urls) {
        if (url.isLocalFile()) {
            const QString path = fileops::localPathOf(url);
            if (isAudioOrVideoFile(path))
                drop.files << path;
            else
                drop.refused << fileops::shownPath(fileops::lastComponent(path));
        } else if (isWebLink(url.toString())) {
            drop.links << url.toString();
        } else {
            drop.refused << url.toString();
        }
    }
    return drop;
}

}  // namespace batch
