#include "batch/BatchJob.h"

#include "base/FileOps.h"


BatchJob::BatchJob(Params params, QObject* parent) : Job(parent), m_params(std::move(params)) {}

QString BatchJob::itemLine(int number, int count, const QString& name)
{
    return QStringLiteral("[%1/%2] ").arg(number).arg(count) + name;
}

QStringList BatchJob::summary(const QList<Result>& results)
{
    QStringList failures;
    for (const Result& result : results) {
        if (result.outcome != Outcome::succeeded)
            failures << QStringLiteral("Failed: ") + result.name + QStringLiteral(" (") + result.reason +
                            QLatin1Char(')');
    }
    return QStringList{QStringLiteral("Finished %1 items: %2 succeeded, %3 failed.")
                           .arg(results.size())
                           .arg(results.size() - failures.size())
                           .arg(failures.size())} +
           failures;
}

QString BatchJob::stoppedLine(int notStarted)
{
    return notStarted == 1 ? QStringLiteral("Stopped. 1 item was not started.")
                           : QStringLiteral("Stopped. %1 items were not started.").arg(notStarted);
}

QString BatchJob::displayName(const Item& item)
{
    if (!item.name.isEmpty())
        return item.name;
    return item.isLink || item.isSearch ? item.input : fileops::lastComponent(item.input);
}

void BatchJob::start()
{
    // A lone download clears the log itself, as it would alone: not when its
    // save folder is refused, so the guard's words stay with what came before.
    m_clearWithDownload = isSingle() && m_params.items.constFirst().isLink && !m_params.separateDownloads &&
                          m_params.notes.isEmpty();
    if (!m_clearWithDownload)
        emit logCleared();
    if (!m_params.notes.isEmpty())
        emit logEntries(m_params.notes);
    startItem();
}

void BatchJob::stop()
{
    if (hasFinished() || m_stopped)
        return;
    m_stopped = true;
    // Between two items the next step sees the flag and ends the run.
    if (m_child)
        m_child->stop();
    else if (m_waiting != Waiting::none) {
        m_waiting = Waiting::none;
        log(QStringLiteral("Stopped."));
        endItem(Outcome::stopped, {});
    }
}

void BatchJob::chooseRecording(int index)
{
    if (m_waiting != Waiting::choice)
        return;
    m_waiting = Waiting::none;
    if (index < 0 || index >= m_listed.size()) {
        log(QStringLiteral("No recording was chosen."));
        endQuietly();
        return;
    }
    const download::ListedEntry entry = std::exchange(m_listed, {}).at(index);
    const QString title = entry.title.isEmpty() ? entry.id : entry.title;
    log(QStringLiteral("Found: ") + title + QStringLiteral(" (") + entry.url + QLatin1Char(')'));
    download(entry.url);
}

void BatchJob::confirmPlaylist(bool download)
{
    if (m_waiting != Waiting::confirmation)
        return;
    m_waiting = Waiting::none;
    if (!download) {
        log(QStringLiteral("The playlist was not downloaded."));
        endQuietly();
        return;
    }
    expandPlaylist();
}

void BatchJob::endQuietly()
{
    // The user said no: nothing failed, and the rest of the run is not wanted either.
    m_childAlert.reset();
    endItem(Outcome::stopped, {});
}

void BatchJob::startItem()
{
    if (hasFinished())
        return;
    ++m_index;
    const int count = int(m_params.items.size());
    if (m_stopped) {
        if (!isSingle() && m_index < count)
            log(stoppedLine(count - m_index));
        finishWith(Outcome::stopped);
        return;
    }
    if (m_index >= count) {
        finishBatch();
        return;
    }
    const Item& item = m_params.items.at(m_index);
    m_current = Result();
    m_current.input = item.input;
    m_current.name = displayName(item);
    if (!isSingle())
        log(itemLine(m_index + 1, count, m_current.name));
    if (item.isSearch) {
        log(QStringLiteral("Searching YouTube for: ") + item.input);
        list(download::searchTarget(item.input), QStringLiteral("Searching"));
        return;
    }
    if (!item.isLink) {
        separate(item.input);
        return;
    }
    // Named a playlist: no download run to find out.
    if (!item.fromPlaylist && download::namesPlaylistOnly(item.input)) {
        list(item.input, QStringLiteral("Listing the playlist"));
        return;
    }
    download(item.input);
}

void BatchJob::download(const QString& url)
{
    DownloadJob::Params params = m_params.download;
    params.url = url;
    // "using the default folder" once, not once per item.
    params.saveFolderDefaulted = params.saveFolderDefaulted && m_index == 0;
    auto* job = new DownloadJob(std::move(params), this);
    connect(job, &DownloadJob::audioFile, this, [this](const QString& path) {
        m_current.audioFile = path;
        emit audioFile(path);
    });
    runChild(job);
}

void BatchJob::list(const QString& target, const QString& stage)
{
    download::ListingJob::Params params{m_params.download.executable, target, m_params.download.environment,
                                        m_params.download.cookiesBrowser, stage};
    runChild(new download::ListingJob(std::move(params), this));
}

void BatchJob::onListed(const QList<download::ListedEntry>& entries)
{
    const Item& item = m_params.items.at(m_index);
    if (entries.isEmpty()) {
        const QString message = QStringLiteral("Nothing was found for: ") + item.input;
        log(message);
        // Alone, it is a download that failed.
        m_childAlert = Alert{Alert::Severity::warning, QStringLiteral("Download Failed"), message};
        endItem(Outcome::failed, message);
        return;
    }
    m_listed = entries;
    if (item.isSearch) {
        m_waiting = Waiting::choice;
        if (m_params.chooseSearchResult)
            emit recordingsFound(m_listed);
        else
            chooseRecording(0);
        return;
    }
    if (m_params.confirmPlaylistAbove > 0 && entries.size() > m_params.confirmPlaylistAbove) {
        m_waiting = Waiting::confirmation;
        emit playlistFound(int(entries.size()));
        return;
    }
    expandPlaylist();
}

void BatchJob::expandPlaylist()
{
    QList<Item> entries;
    for (const download::ListedEntry& entry : std::exchange(m_listed, {}))
        entries.append({entry.url, true, false, entry.title.isEmpty() ? entry.url : entry.title, true});
    log(entries.size() == 1 ? QStringLiteral("The playlist holds 1 recording.")
                            : QStringLiteral("The playlist holds %1 recordings.").arg(entries.size()));
    m_params.items.remove(m_index);
    for (qsizetype i = 0; i < entries.size(); ++i)
        m_params.items.insert(m_index + i, entries.at(i));
    // The first entry runs at the playlist's place; no result was kept for the playlist.
    m_childAlert.reset();
    --m_index;
    QMetaObject::invokeMethod(this, &BatchJob::startItem, Qt::QueuedConnection);
}

void BatchJob::separate(const QString& file)
{
    // A queue is put together well before its later items run.
    if (!fileops::exists(file)) {
        const QString message = QStringLiteral("Audio file was not found: ") + fileops::shownPath(file);
        log(message);
        endItem(Outcome::failed, message);
        return;
    }
    SeparationJob::Params params = m_params.separation;
    params.audioFile = file;
    params.saveFolderDefaulted = params.saveFolderDefaulted && m_index == 0 && m_current.audioFile.isEmpty();
    params.checkedDevice = m_device;
    auto* job = new SeparationJob(std::move(params), this);
    connect(job, &SeparationJob::stemsSaved, this, [this](const QString& folder) {
        m_current.stemsFolder = folder;
        emit stemsSaved(folder);
    });
    runChild(job);
}

void BatchJob::runChild(Job* child)
{
    m_child = child;
    m_childLastEntry.clear();
    m_childAlert.reset();
    // The batch cleared the log once; its items only add to it.
    if (std::exchange(m_clearWithDownload, false) && qobject_cast<DownloadJob*>(child))
        connect(child, &Job::logCleared, this, &Job::logCleared);
    connect(child, &Job::logEntries, this, [this](const QStringList& entries) {
        if (!entries.isEmpty())
            m_childLastEntry = entries.last();
        emit logEntries(entries);
    });
    connect(child, &Job::stage, this, [this](const QString& text) {
        emit stage(isSingle() ? text
                              : QStringLiteral("[%1/%2] ").arg(m_index + 1).arg(m_params.items.size()) + text);
    });
    connect(child, &Job::progress, this, &Job::progress);
    connect(child, &Job::alert, this,
            [this](const Alert& alert) { m_childAlert = alert; });
    connect(child, &Job::finished, this, [this, child](Outcome outcome) { onChildFinished(child, outcome); });
    child->start();
}

void BatchJob::onChildFinished(Job* child, Outcome outcome)
{
    child->deleteLater();
    m_child = nullptr;
    if (auto* separation = qobject_cast<SeparationJob*>(child); separation && separation->checkedDevice())
        m_device = separation->checkedDevice();
    if (auto* listing = qobject_cast<download::ListingJob*>(child); listing && outcome == Outcome::succeeded) {
        afterChild([this, entries = listing->entries()] { onListed(entries); });
        return;
    }
    // Its entries are listed and queued; an entry that is a playlist again is not.
    if (auto* download = qobject_cast<DownloadJob*>(child);
        download && download->foundPlaylist() && !m_params.items.at(m_index).fromPlaylist) {
        afterChild([this] { list(m_params.items.at(m_index).input, QStringLiteral("Listing the playlist")); });
        return;
    }
    const bool downloaded = qobject_cast<DownloadJob*>(child) && outcome == Outcome::succeeded;
    if (!downloaded || !m_params.separateDownloads) {
        endItem(outcome, child->failureReason().isEmpty() ? m_childLastEntry : child->failureReason());
        return;
    }
    // "Download Complete" is not the end of this run.
    m_childAlert.reset();
    if (m_current.audioFile.isEmpty()) {
        const QString message = QStringLiteral("yt-dlp did not name the downloaded file; there is nothing to separate.");
        log(message);
        endItem(Outcome::failed, message);
        return;
    }
    afterChild([this] { separate(m_current.audioFile); });
}

void BatchJob::afterChild(std::function<void()> next)
{
    // Not from inside the child's own finished().
    QMetaObject::invokeMethod(
        this,
        [this, next = std::move(next)] {
            if (!m_stopped) {
                next();
                return;
            }
            log(QStringLiteral("Stopped."));
            endItem(Outcome::stopped, {});
        },
        Qt::QueuedConnection);
}

void BatchJob::endItem(Outcome outcome, const QString& reason)
{
    m_current.outcome = outcome;
    if (outcome == Outcome::failed)
        m_current.reason = reason;
    m_results << m_current;
    emit itemFinished(m_current);
    if (outcome == Outcome::stopped)
        m_stopped = true;
    // The last item ends the run at once, as its own job would end.
    if (m_index + 1 >= m_params.items.size()) {
        startItem();
        return;
    }
    // Queued: an item that ends inside its own start() must not start the next one there.
    QMetaObject::invokeMethod(this, &BatchJob::startItem, Qt::QueuedConnection);
}

void BatchJob::finishBatch()
{
    if (isSingle()) {
        if (const auto alert = std::exchange(m_childAlert, std::nullopt))
            emit this->alert(*alert);
        finishWith(m_results.constFirst().outcome);
        return;
    }
    const QStringList lines = summary(m_results);
    emit logEntries(lines);
    const bool allSucceeded = std::all_of(m_results.cbegin(), m_results.cend(),
                                          [](const Result& r) { return r.outcome == Outcome::succeeded; });
    if (allSucceeded)
        inform(QStringLiteral("Batch Complete"), lines.join(QLatin1Char('\n')));
    else
        warn(QStringLiteral("Batch Finished With Failures"), lines.join(QLatin1Char('\n')));
    finishWith(allSucceeded ? Outcome::succeeded : Outcome::failed);
}

QString BatchJob::logName() const
{
    if (!isSingle() || m_params.separateDownloads)
        return Job::logName();
    const Item& only = m_params.items.first();
    return only.isLink || only.isSearch ? QStringLiteral("Download") : Job::logName();
}
