// The system's process table, which the liveness checks of runs and their
// leftovers (and the tests' own) rest on.

#include "process/Ownership.h"
#include "process/ProcessTable.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

// A process that ended but was not collected still answers kill(), and is
// not running; a later process with the same pid (another start time) is not
// the recorded one.
TEST(ProcessTable, TellsARunningProcessFromAnEndedOneAndFromALaterOne)
{
    QProcess sleeper;
    sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    ASSERT_TRUE(sleeper.waitForStarted());
    const qint64 pid = sleeper.processId();
    const std::optional<processes::ProcessInfo> info = processes::processInfo(pid);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->name, "sleep");
    EXPECT_EQ(info->parent, QCoreApplication::applicationPid());
    EXPECT_EQ(info->group, ::getpgrp());
    EXPECT_FALSE(info->ended);
    EXPECT_NE(info->startTime, 0u);
    EXPECT_TRUE(processes::isRunning(pid));
    EXPECT_TRUE(processAlive(pid));
    EXPECT_EQ(childProcesses(QCoreApplication::applicationPid()), QList<qint64>{pid});
    const QList<processes::ProcessInfo> all = processes::allProcesses();
    EXPECT_TRUE(std::any_of(all.cbegin(), all.cend(), [&](const auto& process) { return process.pid == pid; }));
    EXPECT_TRUE(ownership::isOwnerAlive(ownership::ownerRecord(pid)));
    EXPECT_FALSE(ownership::isOwnerAlive(QByteArray::number(pid) + ' ' + QByteArray::number(info->startTime + 1)));
    sleeper.kill();
    sleeper.waitForFinished();

    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    ASSERT_GT(ended, 0);
    EXPECT_TRUE(waitUntil([&] { return processes::processInfo(ended).value_or(processes::ProcessInfo{}).ended; }, 5000));
    EXPECT_EQ(::kill(ended, 0), 0);
    EXPECT_FALSE(processes::isRunning(ended));
    EXPECT_FALSE(processAlive(ended));
    EXPECT_FALSE(ownership::isOwnerAlive(ownership::ownerRecord(ended)));
    int status = 0;
    ASSERT_EQ(::waitpid(ended, &status, 0), ended);
    EXPECT_FALSE(processes::processInfo(ended).has_value());
    EXPECT_FALSE(processes::isRunning(ended));
}
