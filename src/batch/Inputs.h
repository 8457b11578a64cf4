#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

// What the user hands over to be worked on: a pasted list of links, files
// from the chooser or a drop.
namespace batch {

// An http or https address with a host.
bool isWebLink(const QString& text);

struct UrlList {
    QStringList urls;      // in the order given, each once
    QStringList rejected;  // words that are no link, in order
    QString search;        // a text without any link: words to search YouTube for
};
// The links of text separated by spaces or line breaks. A text without any
// link is a search; one that names a search of yt-dlp's own ("ytsearch3:foo")
// goes to yt-dlp whole. Links that differ only in the case of scheme or host,
// or in a trailing "/", are one link.
UrlList parseUrlList(const QString& text);

// A regular file whose type (by name, else by content) is audio or video.
bool isAudioOrVideoFile(const QString& path);

struct Drop {
    QStringList files;    // local audio and movie files
    QStringList links;    // web links
    QStringList refused;  // names of everything else, for the log
};
// Sorts what a drop carries: its URLs, or, when it has none, the words of its text.
Drop classifyDrop(const QList<QUrl>& urls, const QString& text);

}  // namespace batch
