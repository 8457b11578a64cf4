#include "jobs/JobQueue.h"

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
