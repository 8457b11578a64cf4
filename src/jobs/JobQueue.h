#pragma once

#include "jobs/Job.h"

#include <QList>
#include <QObject>

// Jobs run one at a time, first come first served.
class JobQueue : public QObject {
    Q_OBJECT
public:
    explicit JobQueue(QObject* parent = nullptr) : QObject(parent) {}
    ~JobQueue() override;

    // Takes ownership; the job starts now when nothing runs.
    void enqueue(Job* job);
    Job* current() const { return m_current; }
    bool isBusy() const { return m_current != nullptr; }
    // The running job first, then the waiting ones.
    QList<Job*> jobs() const { return m_current ? QList<Job*>{m_current} + m_pending : m_pending; }
    // Stops the running job and drops the waiting ones.
    void stopAll();

signals:
    void jobStarted(Job* job);
    // After the job's own finished(); the job is deleted later.
    void jobFinished(Job* job, Job::Outcome outcome);

private:
    void startNext();
    void onFinished(Job* job, Job::Outcome outcome);

    Job* m_current = nullptr;
    QList<Job*> m_pending;
    bool m_starting = false;
};
