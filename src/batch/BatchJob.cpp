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
    return item.isLink ? item.input : fileops::lastComponent(item.input);
}

void BatchJob::start()
{
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
    if (!item.isLink) {
        separate(item.input);
        return;
    }
    DownloadJob::Params params = m_params.download;
    params.url = item.input;
    // "using the default folder" once, not once per item.
    params.saveFolderDefaulted = params.saveFolderDefaulted && m_index == 0;
    auto* job = new DownloadJob(std::move(params), this);
    connect(job, &DownloadJob::audioFile, this, [this](const QString& path) {
        m_current.audioFile = path;
        emit audioFile(path);
    });
    runChild(job);
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
    // Not from inside the download's own finished().
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_stopped) {
                separate(m_current.audioFile);
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
