#pragma once

// What yt-dlp lists without downloading: the results of a search and the
// entries of a playlist, one printed line each.

#include "download/DownloadOutput.h"
#include "download/YtDlpRun.h"
#include "process/ChildProcess.h"

#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

namespace download {

// One search result or playlist entry.
struct ListedEntry {
    QString id;
    QString title;
    QString channel;  // or the uploader; empty when yt-dlp gave neither
    QString url;      // what a download is given
    std::optional<double> duration;  // seconds
    bool operator==(const ListedEntry&) const = default;
};

// How many results a search by name offers.
constexpr int searchResultCount = 5;
// A text without a link becomes yt-dlp's YouTube search for its first results.
QString searchTarget(const QString& text);
// Whether text already names one of yt-dlp's searches ("ytsearch3:foo",
// "scsearch:foo"): it goes to yt-dlp as it is.
bool isYtDlpSearch(const QString& text);
// A YouTube link that names a playlist and no single video (".../playlist?list=…").
bool namesPlaylistOnly(const QString& url);

// yt-dlp's arguments that list target (a link, or a search) without
// downloading, one JSON object a line.
QStringList listingArguments(const QString& target, const QString& cookiesBrowser = QString());
// An entry from one line of that output; nothing for any other line (yt-dlp's
// warnings and errors) or an entry without anything to download.
std::optional<ListedEntry> parseListedEntry(const QString& line);

// "3:45", "1:02:03"; empty for nothing or nonsense.
QString durationText(std::optional<double> seconds);
// "Title — Channel (3:45)", leaving out what is missing.
QString entryLabel(const ListedEntry& entry);

// One listing run: yt-dlp's lines that are no entry go to the log.
class ListingJob : public YtDlpRunJob {
    Q_OBJECT
public:
    struct Params {
        QString executable;
        QString target;
        QProcessEnvironment environment;
        QString cookiesBrowser;
        QString stage;  // for the status row ("Searching")
    };
    explicit ListingJob(Params params, QObject* parent = nullptr);

    void start() override;
    void stop() override;

    // In yt-dlp's order; complete once the job succeeded.
    const QList<ListedEntry>& entries() const { return m_entries; }

private:
    void handleOutput(const QString& text);
    void onFinished(const RunResult& result);

    Params m_params;
    ChildProcess m_child;
    QList<ListedEntry> m_entries;
};

}  // namespace download
