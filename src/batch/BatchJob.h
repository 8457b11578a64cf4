#pragma once

#include "download/DownloadJob.h"
#include "download/Listing.h"
#include "jobs/Job.h"
#include "separation/SeparationJob.h"

#include <QList>
#include <QPointer>

#include <functional>

// Several inputs, one after another, as one run with one log: links are
// downloaded (and, when asked, separated right after), files are
// separated. One input runs exactly as its own job would, except that a
// download followed by its separation clears the log once and ends with the
// separation's alert only. Several inputs get a "[2/5] NAME" line each, a
// summary and one alert at the end. A failed item does not stop the rest;
// Stop ends the current item and drops the others.
//
// Words are searched for on YouTube and the chosen result is downloaded as
// its link would be. A link to a playlist (named so, or reported by yt-dlp's
// download) is listed and its entries take its place in the queue. What to
// choose, and whether a long playlist is wanted, the batch asks through a
// signal; whoever runs it answers with chooseRecording() or confirmPlaylist().
class BatchJob : public Job {
    Q_OBJECT
public:
    struct Item {
        QString input;  // a link for yt-dlp, or an audio or movie file
        bool isLink = false;
        bool isSearch = false;  // input is words to search YouTube for
        QString name = QString();  // what the log calls it; empty: the input
        bool fromPlaylist = false;
    };
    struct Params {
        QList<Item> items;
        bool separateDownloads = false;
        QStringList notes;  // logged first, after the log is cleared
        DownloadJob::Params download;      // url is each link's
        SeparationJob::Params separation;  // audioFile is each file's, or the downloaded one
        // Search results go to recordingsFound; without it the first is taken.
        bool chooseSearchResult = false;
        // A playlist of more entries goes to playlistFound first; 0: never.
        int confirmPlaylistAbove = 0;
    };
    struct Result {
        QString input;
        QString name;  // as the log calls it
        Outcome outcome = Outcome::failed;
        QString reason;       // why it failed
        QString audioFile;    // the downloaded file, if any
        QString stemsFolder;  // where its stems went, if anywhere
    };

    explicit BatchJob(Params params, QObject* parent = nullptr);

    void start() override;
    void stop() override;

    const QList<Result>& results() const { return m_results; }
    // A lone link or search without its separation is a download, as it always was.
    QString logName() const override;

    // "[2/5] NAME"
    static QString itemLine(int number, int count, const QString& name);
    // "Finished 5 items: 4 succeeded, 1 failed." and a "Failed: NAME (reason)" line per failure.
    static QStringList summary(const QList<Result>& results);
    // "Stopped. 3 items were not started."
    static QString stoppedLine(int notStarted);
    // What an item is called in the log: its name, else a link as given, a file by its name.
    static QString displayName(const Item& item);

    // The answer to recordingsFound: an index into its entries, or -1 for none.
    void chooseRecording(int index);
    // The answer to playlistFound.
    void confirmPlaylist(bool download);

signals:
    // A download's file as soon as it is known; empty when a stopped run takes it back.
    void audioFile(const QString& path);
    void stemsSaved(const QString& folder);
    // Each item as it ends, stopped ones included; unstarted items never end.
    void itemFinished(const BatchJob::Result& result);
    // A search's results, for the user to choose one; the run waits.
    void recordingsFound(const QList<download::ListedEntry>& entries);
    // A playlist of more than confirmPlaylistAbove entries; the run waits.
    void playlistFound(int count);

private:
    bool isSingle() const { return m_params.items.size() == 1; }
    void startItem();
    void runChild(Job* child);
    void onChildFinished(Job* child, Outcome outcome);
    void download(const QString& url);
    void list(const QString& target, const QString& stage);
    void onListed(const QList<download::ListedEntry>& entries);
    // The current item's place in the queue goes to entries.
    void expandPlaylist();
    void endQuietly();
    // Runs next item step once the child's finished() is over, unless Stop came first.
    void afterChild(std::function<void()> next);
    // Separates file as the current item (a file item, or a link's download).
    void separate(const QString& file);
    void endItem(Outcome outcome, const QString& reason);
    void finishBatch();

    Params m_params;
    int m_index = -1;
    QPointer<Job> m_child;
    bool m_stopped = false;
    Result m_current;
    QString m_childLastEntry;
    std::optional<Alert> m_childAlert;
    std::optional<demucs::Device> m_device;  // found by the first check; later items skip theirs
    QList<Result> m_results;
    bool m_clearWithDownload = false;
    QList<download::ListedEntry> m_listed;  // waiting for an answer
    enum class Waiting { none, choice, confirmation } m_waiting = Waiting::none;
};
