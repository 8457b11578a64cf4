#include "jobs/Job.h"

void Job::finishWith(Outcome outcome)
{
    if (m_finished)
        return;
    m_finished = true;
    emit finished(outcome);
}

void Job::setFailureReason(const QString& reason)
{
    if (m_failureReason.isEmpty())
        m_failureReason = reason;
}

void Job::failWithHint(const QString& title, const QString& message, const QString& hint)
{
    setFailureReason(hint.isEmpty() ? message : message + QLatin1Char(' ') + hint);
    log(message);
    if (hint.isEmpty()) {
        emit alert(title, message);
    } else {
        log(QStringLiteral("Hint: ") + hint);
        emit alert(title, message + QLatin1Char(' ') + hint);
    }
    finishWith(Outcome::failed);
}

void Job::failUnusableSaveFolder(const QString& text)
{
    const QString title = QStringLiteral("Save Folder Unusable");
    setFailureReason(title + QStringLiteral(": ") + text);
    log(title + QStringLiteral(": ") + text);
    emit alert(title, text);
    finishWith(Outcome::failed);
}

JobQueue::~JobQueue()
{
    // Jobs own their children; deleting them stops and reaps those.
    qDeleteAll(m_pending);
    delete m_current;
}

void JobQueue::enqueue(Job* job)
{
    job->setParent(this);
    connect(job, &Job::finished, this, [this, job](Job::Outcome outcome) { onFinished(job, outcome); });
    m_pending.append(job);
    if (!m_current)
        startNext();
}

void JobQueue::stopAll()
{
    const QList<Job*> dropped = std::exchange(m_pending, {});
    for (Job* job : dropped)
        job->deleteLater();
    if (m_current)
        m_current->stop();
}

void JobQueue::startNext()
{
    // A job that finishes inside start() must not start the next one from
    // within this call: the loop below does.
    if (m_starting)
        return;
    m_starting = true;
    while (!m_current && !m_pending.isEmpty()) {
        m_current = m_pending.takeFirst();
        emit jobStarted(m_current);
        m_current->start();
    }
    m_starting = false;
    if (!m_current)
        emit idle();
}

void JobQueue::onFinished(Job* job, Job::Outcome outcome)
{
    if (job != m_current)
        return;
    m_current = nullptr;
    emit jobFinished(job, outcome);
    job->deleteLater();
    if (!m_starting)
        startNext();
}
