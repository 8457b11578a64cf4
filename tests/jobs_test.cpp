// The job queue: one job at a time, first come first served, and stopping.
#include "jobs/Job.h"
#include "jobs/JobQueue.h"
#include "support/TestSupport.h"

#include <QPointer>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

// A job that writes what happens to it into a shared trace. It finishes when
// told, inside start() when made so, and on stop() one event-loop turn later,
// as a job whose child must end first does.
class TraceJob : public Job {
public:
    TraceJob(QString name, QStringList& trace, bool finishInStart = false)
        : m_name(std::move(name)), m_trace(trace), m_finishInStart(finishInStart)
    {
    }
    void start() override
    {
        m_trace << QStringLiteral("start ") + m_name;
        if (m_finishInStart)
            finishWith(Outcome::failed);
    }
    void stop() override
    {
        m_trace << QStringLiteral("stop ") + m_name;
        QTimer::singleShot(0, this, [this] { finishWith(Outcome::stopped); });
    }
    void succeed() { finishWith(Outcome::succeeded); }

private:
    QString m_name;
    QStringList& m_trace;
    bool m_finishInStart;
};

QString outcomeName(Job::Outcome outcome)
{
    switch (outcome) {
    case Job::Outcome::succeeded: return QStringLiteral("succeeded");
    case Job::Outcome::failed: return QStringLiteral("failed");
    case Job::Outcome::stopped: return QStringLiteral("stopped");
    }
    return {};
}

// The queue's own signals, in the same trace as the jobs' calls.
void traceQueue(JobQueue& queue, QStringList& trace)
{
    QObject::connect(&queue, &JobQueue::jobStarted, [&trace](Job* job) {
        trace << QStringLiteral("started ") + job->objectName();
    });
    QObject::connect(&queue, &JobQueue::jobFinished, [&trace](Job* job, Job::Outcome outcome) {
        trace << QStringLiteral("finished %1 %2").arg(job->objectName(), outcomeName(outcome));
    });
}

TraceJob* makeJob(const QString& name, QStringList& trace, bool finishInStart = false)
{
    auto* job = new TraceJob(name, trace, finishInStart);
    job->setObjectName(name);
    return job;
}

}  // namespace

TEST(JobQueue, RunsJobsOneAtATimeInOrder)
{
    QStringList trace;
    JobQueue queue;
    traceQueue(queue, trace);
    TraceJob* a = makeJob("a", trace);
    TraceJob* b = makeJob("b", trace);
    TraceJob* c = makeJob("c", trace);
    QPointer<Job> aWatch(a);
    queue.enqueue(a);
    queue.enqueue(b);
    queue.enqueue(c);
    EXPECT_EQ(trace, (QStringList{"started a", "start a"}));
    EXPECT_EQ(queue.current(), a);

    a->succeed();
    EXPECT_EQ(queue.current(), b);
    pumpEvents(50);
    EXPECT_TRUE(aWatch.isNull());  // a finished job is deleted, later
    b->succeed();
    c->succeed();
    EXPECT_FALSE(queue.isBusy());
    EXPECT_EQ(trace, (QStringList{"started a", "start a", "finished a succeeded", "started b", "start b",
                                  "finished b succeeded", "started c", "start c", "finished c succeeded"}));
}

TEST(JobQueue, JobFinishingInsideStartMakesWayForTheNext)
{
    QStringList trace;
    JobQueue queue;
    traceQueue(queue, trace);
    TraceJob* first = makeJob("first", trace);
    queue.enqueue(first);
    queue.enqueue(makeJob("broken", trace, true));
    TraceJob* last = makeJob("last", trace);
    queue.enqueue(last);
    trace.clear();

    first->succeed();
    EXPECT_EQ(trace, (QStringList{"finished first succeeded", "started broken", "start broken",
                                  "finished broken failed", "started last", "start last"}));
    EXPECT_EQ(queue.current(), last);

    // With nothing else to run, a job that cannot begin leaves the queue idle.
    last->succeed();
    trace.clear();
    queue.enqueue(makeJob("alone", trace, true));
    EXPECT_EQ(trace, (QStringList{"started alone", "start alone", "finished alone failed"}));
    EXPECT_FALSE(queue.isBusy());
}

TEST(JobQueue, StopAllStopsTheRunningJobAndDropsTheWaiting)
{
    QStringList trace;
    JobQueue queue;
    traceQueue(queue, trace);
    queue.enqueue(makeJob("running", trace));
    QPointer<Job> waiting1(makeJob("waiting1", trace));
    QPointer<Job> waiting2(makeJob("waiting2", trace));
    queue.enqueue(waiting1);
    queue.enqueue(waiting2);
    trace.clear();

    queue.stopAll();
    EXPECT_EQ(trace, (QStringList{"stop running"}));
    EXPECT_TRUE(queue.isBusy());  // until the job has really ended
    ASSERT_TRUE(waitUntil([&] { return !queue.isBusy(); }));
    pumpEvents(50);
    EXPECT_EQ(trace, (QStringList{"stop running", "finished running stopped"}));
    EXPECT_TRUE(waiting1.isNull());
    EXPECT_TRUE(waiting2.isNull());

    // The queue still takes work afterwards.
    trace.clear();
    queue.enqueue(makeJob("after", trace));
    EXPECT_EQ(trace, (QStringList{"started after", "start after"}));
}
