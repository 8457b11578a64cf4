// Child processes: their environment, how output becomes log entries, and
// runs of real children: output, outcomes, stopping, and what they leave.
#include "process/ChildProcess.h"
#include "process/CpuCores.h"
#include "process/ChildOutput.h"
#include "process/ChildEnvironment.h"
#include "process/ProcessTable.h"
#include "support/AppSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace {

const QString fixedPath = QStringLiteral("/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
const QString shell = QStringLiteral("/bin/sh");

// Everything a run reported, in order.
struct Recorder {
    QStringList chunks;
    QStringList events;  // "out:<text>" and "end"
    std::optional<RunResult> result;
    int finishedCount = 0;

    void attach(ChildProcess& child)
    {
        QObject::connect(&child, &ChildProcess::output, [this](const QString& text) {
            chunks << text;
            events << QStringLiteral("out:") + text;
        });
        QObject::connect(&child, &ChildProcess::finished, [this](const RunResult& r) {
            result = r;
            ++finishedCount;
            events << QStringLiteral("end");
        });
    }
    bool ended() const { return result.has_value(); }
    // Chunks are whole lines without a break after the last: a line split
    // between two chunks would show here as a break too many.
    QString joined() const { return chunks.join(QLatin1Char('\n')); }
};

void setShell(ChildProcess& child, const QString& script)
{
    child.setProgram(shell);
    child.setArguments({QStringLiteral("-c"), script});
}

// Runs a shell snippet and waits for its end.
Recorder runShell(const QString& script, ChildProcess::Output output = ChildProcess::Output::stream,
                  QByteArray* captured = nullptr)
{
    Recorder rec;
    ChildProcess child;
    rec.attach(child);
    setShell(child, script);
    child.setOutput(output);
    EXPECT_TRUE(child.start()) << child.result().error.toStdString();
    EXPECT_TRUE(waitUntil([&] { return rec.ended(); }, 20000));
    if (captured)
        *captured = child.capturedOutput();
    return rec;
}

// The number a script wrote to a file, once it is there.
qint64 waitForPid(const QString& file)
{
    qint64 pid = 0;
    waitUntil([&] {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return false;
        const QByteArray text = f.readAll();
        pid = text.trimmed().toLongLong();
        return text.endsWith('\n') && pid > 0;
    }, 10000);
    return pid;
}

}  // namespace

TEST(ChildEnvironment, ExtendsPathAndLeavesEverythingElse)
{
    QProcessEnvironment app;
    app.insert(QStringLiteral("LANG"), QStringLiteral("de_DE.UTF-8"));
    app.insert(QStringLiteral("EMPTY"), QString());

    QProcessEnvironment child = childEnvironment(app, fixedPath);
    EXPECT_EQ(child.value(QStringLiteral("PATH")), fixedPath);

    app.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    child = childEnvironment(app, fixedPath);
    const QStringList parts = child.value(QStringLiteral("PATH")).split(QLatin1Char(':'));
    EXPECT_EQ(parts.size(), 8);
    EXPECT_EQ(parts.count(QStringLiteral("/usr/bin")), 2);
    EXPECT_EQ(child.value(QStringLiteral("PATH")), QStringLiteral("/usr/bin:/bin:") + fixedPath);

    app.insert(QStringLiteral("PATH"), QString());
    child = childEnvironment(app, fixedPath);
    EXPECT_EQ(child.value(QStringLiteral("PATH")), QStringLiteral(":") + fixedPath);

    EXPECT_EQ(child.value(QStringLiteral("LANG")), QStringLiteral("de_DE.UTF-8"));
    EXPECT_TRUE(child.contains(QStringLiteral("EMPTY")));
    EXPECT_EQ(child.keys().size(), app.keys().size());
}

TEST(OutputLines, CarriageReturnsBlanksAndEmptyPieces)
{
    EXPECT_EQ(splitOutputLines(QStringLiteral("a\r\nb\n\n  c  \r")),
              (QStringList{"a", "b", "c"}));
    EXPECT_TRUE(splitOutputLines(QStringLiteral(" \r\n \r \n")).isEmpty());
    EXPECT_EQ(splitOutputLines(QStringLiteral("12%\r47%\r")), (QStringList{"12%", "47%"}));

    TempWorkspace ws;
    auto app = makeApp(makeTestProfile(ws), false);
    app->appendLogEntries(splitOutputLines(QStringLiteral("a\r\nb\n\n  c  \r")));
    app->appendLogEntries(splitOutputLines(QStringLiteral("   \n")));
    EXPECT_EQ(logLines(*app), (QStringList{"a", "b", "c"}));
}

TEST(OutputAssembler, JoinsCharactersAndLinesAcrossReads)
{
    OutputAssembler a;
    const QByteArray e = QStringLiteral("é").toUtf8();  // two bytes
    EXPECT_EQ(a.feed("caf" + e.left(1)), QString());
    EXPECT_EQ(a.feed(e.mid(1) + " au lait\npartial"), QStringLiteral("café au lait\n"));
    EXPECT_EQ(a.feed(" line\r12%\r"), QStringLiteral("partial line\r12%\r"));
    const QByteArray emoji = QStringLiteral("🎵").toUtf8();  // four bytes, split thrice
    EXPECT_EQ(a.feed(emoji.left(1)), QString());
    EXPECT_EQ(a.feed(emoji.mid(1, 2)), QString());
    EXPECT_EQ(a.feed(emoji.mid(3) + "\n"), QStringLiteral("🎵\n"));
    EXPECT_EQ(a.feed("tail without end"), QString());
    EXPECT_EQ(a.finish(), QStringLiteral("tail without end"));
    EXPECT_EQ(a.finish(), QString());
}

TEST(OutputAssembler, InvalidBytesBecomeReplacementCharacters)
{
    OutputAssembler a;
    EXPECT_EQ(a.feed(QByteArray("ok \xff\xfe done\n")), QStringLiteral("ok \uFFFD\uFFFD done\n"));
    // A lead byte that never gets its continuation is replaced at the end.
    EXPECT_EQ(a.feed(QByteArray("x\xe2\x82")), QString());
    const QString tail = a.finish();
    EXPECT_TRUE(tail.startsWith(QStringLiteral("x\uFFFD"))) << tail.toStdString();
    EXPECT_EQ(tail.count(QChar(0xFFFD)), tail.size() - 1);
    // A lead byte followed by a non-continuation byte does not swallow it.
    EXPECT_EQ(a.feed(QByteArray("\xc3" "A\n")), QStringLiteral("\uFFFDA\n"));
}

TEST(OutputAssembler, WholeOutputIsStrictAboutUtf8)
{
    // A finished child's output is judged as a whole: a cut-off character counts as invalid.
    EXPECT_EQ(decodeUtf8(QStringLiteral("3.12.4 café\n").toUtf8()), QStringLiteral("3.12.4 café\n"));
    EXPECT_FALSE(decodeUtf8(QByteArray("3.12\xe2\x82")).has_value());
    EXPECT_FALSE(decodeUtf8(QByteArray("\xff")).has_value());
    EXPECT_EQ(decodeUtf8(QByteArray()), QString());
}

TEST(OutputAssembler, HeldTailIsBounded)
{
    OutputAssembler a(16);
    EXPECT_EQ(a.feed(QByteArray(10, 'x')), QString());
    EXPECT_EQ(a.feed(QByteArray(10, 'y')), QString(10, 'x') + QString(10, 'y'));
    EXPECT_EQ(a.feed("z\n"), QStringLiteral("z\n"));
}


TEST(ChildOutput, StreamsWhileTheChildRuns)
{
    Recorder rec;
    ChildProcess child;
    rec.attach(child);
    setShell(child, QStringLiteral("echo first; sleep 1; echo second 1>&2"));
    ASSERT_TRUE(child.start()) << child.result().error.toStdString();
    EXPECT_TRUE(child.isActive());
    ASSERT_TRUE(waitUntil([&] { return !rec.chunks.isEmpty(); }, 5000));
    EXPECT_FALSE(rec.ended());  // the first line came before the child ended
    EXPECT_EQ(rec.chunks.first(), QStringLiteral("first"));
    ASSERT_TRUE(waitUntil([&] { return rec.ended(); }, 10000));
    EXPECT_EQ(rec.joined(), QStringLiteral("first\nsecond"));  // stderr merged
    EXPECT_EQ(rec.result->outcome, RunResult::Outcome::succeeded);
    EXPECT_EQ(rec.result->status, 0);
}

TEST(ChildOutput, SplitCharactersAndLinesArriveWhole)
{
    const Recorder rec = runShell(QStringLiteral(
        "printf 'caf\\303'; sleep 0.3; printf '\\251 /music/a '; sleep 0.3; printf 'b.m4a\\n'; "
        "printf 'bad \\377 byte\\n'"));
    EXPECT_EQ(rec.joined(), QStringLiteral("café /music/a b.m4a\nbad \uFFFD byte"));
}

TEST(ChildOutput, ABarWithoutALineEndIsReadAtOnceAndLoggedOnceWhole)
{
    // tqdm writes "\r<bar>" and nothing more until the next update, seconds later.
    Recorder rec;
    QStringList unfinished;
    ChildProcess child;
    rec.attach(child);
    QObject::connect(&child, &ChildProcess::unfinishedLine, [&](const QString& line) { unfinished << line; });
    setShell(child, QStringLiteral("printf 'Separating track\\n\\r 15%%|#| 26.3/175.5 [00:02<00:10]'; sleep 3; "
                                   "printf '\\r100%%|#| 175.5/175.5 [00:12<00:00]\\n'"));
    ASSERT_TRUE(child.start());
    ASSERT_TRUE(waitUntil([&] { return !unfinished.isEmpty(); }, 1000));
    EXPECT_EQ(unfinished, QStringList{" 15%|#| 26.3/175.5 [00:02<00:10]"});
    EXPECT_EQ(splitOutputLines(rec.joined()), QStringList{"Separating track"});  // the bar waits for its end
    ASSERT_TRUE(waitUntil([&] { return rec.ended(); }, 10000));
    EXPECT_EQ(splitOutputLines(rec.joined()),
              (QStringList{"Separating track", "15%|#| 26.3/175.5 [00:02<00:10]", "100%|#| 175.5/175.5 [00:12<00:00]"}));
    EXPECT_EQ(unfinished.size(), 1);  // a line that ended is never sent as unfinished
}

TEST(ChildOutput, LastOutputComesBeforeTheEnd)
{
    // Repeated, because losing the race only shows now and then.
    for (int i = 0; i < 20; ++i) {
        const Recorder rec = runShell(QStringLiteral("printf 'x%.0s' $(seq 1 3000); printf '\\n/last/line'; exit 3"));
        ASSERT_TRUE(rec.ended()) << i;
        ASSERT_GE(rec.events.size(), 2);
        EXPECT_EQ(rec.events.last(), QStringLiteral("end"));
        EXPECT_EQ(rec.finishedCount, 1);
        EXPECT_EQ(rec.result->outcome, RunResult::Outcome::failed);
        EXPECT_EQ(rec.result->status, 3);
        EXPECT_TRUE(rec.joined().endsWith(QStringLiteral("\n/last/line"))) << i;
        EXPECT_EQ(rec.joined().size(), 3000 + 11);
    }
}

TEST(ChildOutput, ChildGetsTheControllersPathAndItsOutputBecomesEntries)
{
    TempWorkspace ws;
    auto app = makeApp(makeTestProfile(ws), false);
    ChildProcess child;
    bool ended = false;
    QObject::connect(&child, &ChildProcess::output, app.get(),
                     [&app](const QString& text) { app->appendLogEntries(splitOutputLines(text)); });
    QObject::connect(&child, &ChildProcess::finished, [&] { ended = true; });
    setShell(child, QStringLiteral("printf 'a\\rb\\n  c\\n'; echo $PATH"));
    child.setEnvironment(app->tools().processEnvironment());
    ASSERT_TRUE(child.start());
    ASSERT_TRUE(waitUntil([&] { return ended; }));
    const QStringList lines = logLines(*app);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines.mid(0, 3), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(lines[3], ws.path(QStringLiteral("pathbin")) + QStringLiteral(":") + fixedPath);
}

TEST(ChildOutput, QuietModesGetAChattyChildsWholeOutputAndStatus)
{
    // More than a pipe holds on both streams: a mode that reads one stream only
    // while the other fills up would hang here.
    const QString chatty = QStringLiteral(
        "head -c 1048576 /dev/zero | tr '\\0' 'a'; head -c 300000 /dev/zero | tr '\\0' 'e' 1>&2; exit 4");

    QByteArray captured;
    Recorder rec = runShell(chatty, ChildProcess::Output::capture, &captured);
    ASSERT_TRUE(rec.ended());
    EXPECT_TRUE(rec.chunks.isEmpty());
    EXPECT_EQ(rec.result->outcome, RunResult::Outcome::failed);
    EXPECT_EQ(rec.result->status, 4);
    EXPECT_EQ(captured.size(), 1048576 + 300000);
    EXPECT_EQ(captured.count('e'), 300000);

    rec = runShell(chatty, ChildProcess::Output::stdoutOnly, &captured);
    ASSERT_TRUE(rec.ended());
    EXPECT_EQ(rec.result->status, 4);
    EXPECT_EQ(captured, QByteArray(1048576, 'a'));

    rec = runShell(chatty, ChildProcess::Output::discard, &captured);
    ASSERT_TRUE(rec.ended());
    EXPECT_EQ(rec.result->status, 4);
    EXPECT_TRUE(captured.isEmpty());

    // A set environment is the child's whole environment.
    QProcessEnvironment env;
    env.insert(QStringLiteral("GREETING"), QStringLiteral("hi"));
    Recorder greeted;
    ChildProcess child;
    greeted.attach(child);
    setShell(child, QStringLiteral("echo \"$GREETING\" \"${HOME:-none}\"; echo noise 1>&2"));
    child.setEnvironment(env);
    child.setOutput(ChildProcess::Output::stdoutOnly);
    ASSERT_TRUE(child.start());
    ASSERT_TRUE(waitUntil([&] { return greeted.ended(); }));
    EXPECT_EQ(greeted.result->outcome, RunResult::Outcome::succeeded);
    EXPECT_EQ(child.capturedOutput(), QByteArray("hi none\n"));
}

TEST(ChildOutcome, SucceedsFailsOrIsKilledBySignal)
{
    Recorder rec = runShell(QStringLiteral("exit 0"));
    ASSERT_TRUE(rec.ended());
    EXPECT_EQ(rec.result->outcome, RunResult::Outcome::succeeded);
    EXPECT_TRUE(rec.result->ok());

    rec = runShell(QStringLiteral("exit 7"));
    ASSERT_TRUE(rec.ended());
    EXPECT_EQ(rec.result->outcome, RunResult::Outcome::failed);
    EXPECT_EQ(rec.result->status, 7);
    EXPECT_FALSE(rec.result->ok());

    rec = runShell(QStringLiteral("echo going; kill -KILL $$"));
    ASSERT_TRUE(rec.ended());
    EXPECT_EQ(rec.result->outcome, RunResult::Outcome::crashed);
    EXPECT_EQ(rec.result->status, 9);
    EXPECT_EQ(rec.joined(), QStringLiteral("going"));

    // A SIGTERM the run did not send is a crash too, not a stop.
    rec = runShell(QStringLiteral("kill -TERM $$"));
    ASSERT_TRUE(rec.ended());
    EXPECT_EQ(rec.result->outcome, RunResult::Outcome::crashed);
    EXPECT_EQ(rec.result->status, 15);
    EXPECT_EQ(rec.finishedCount, 1);
}

TEST(ChildOutcome, StoppedAndTimedOut)
{
    {
        Recorder rec;
        ChildProcess child;
        rec.attach(child);
        setShell(child, QStringLiteral("echo ready; sleep 60"));
        ASSERT_TRUE(child.start());
        ASSERT_TRUE(waitUntil([&] { return !rec.chunks.isEmpty(); }));
        child.stop();
        ASSERT_TRUE(waitUntil([&] { return rec.ended(); }));
        EXPECT_EQ(rec.result->outcome, RunResult::Outcome::stopped);
        EXPECT_FALSE(child.isActive());
        EXPECT_GT(child.processId(), 0);  // still known after the end
        EXPECT_FALSE(processAlive(child.processId()));
        child.stop();  // nothing runs: nothing happens
        pumpEvents(100);
        EXPECT_EQ(rec.finishedCount, 1);
    }
    {
        // A child that handles SIGTERM and exits 0 was still stopped.
        Recorder rec;
        ChildProcess child;
        rec.attach(child);
        setShell(child, QStringLiteral("trap 'exit 0' TERM; echo ready; while :; do sleep 0.05; done"));
        ASSERT_TRUE(child.start());
        ASSERT_TRUE(waitUntil([&] { return !rec.chunks.isEmpty(); }));
        child.stop();
        ASSERT_TRUE(waitUntil([&] { return rec.ended(); }));
        EXPECT_EQ(rec.result->outcome, RunResult::Outcome::stopped);
        EXPECT_EQ(rec.result->status, 0);
    }
    {
        Recorder rec;
        ChildProcess child;
        rec.attach(child);
        setShell(child, QStringLiteral("sleep 60"));
        child.setTimeLimit(300);
        ASSERT_TRUE(child.start());
        ASSERT_TRUE(waitUntil([&] { return rec.ended(); }, 20000));
        EXPECT_EQ(rec.result->outcome, RunResult::Outcome::timedOut);
        EXPECT_EQ(rec.finishedCount, 1);
    }
}

TEST(ChildOutcome, LaunchFailureIsReportedAtOnceAndNothingElse)
{
    TempWorkspace ws;
    Recorder rec;
    ChildProcess child;
    rec.attach(child);
    child.setProgram(ws.path(QStringLiteral("missing/tool")));
    EXPECT_FALSE(child.start());
    EXPECT_EQ(child.result().outcome, RunResult::Outcome::failedToStart);
    EXPECT_FALSE(child.result().error.isEmpty());
    EXPECT_FALSE(child.isActive());
    child.stop();
    pumpEvents(200);
    EXPECT_TRUE(rec.events.isEmpty());

    // A folder is not a program either.
    ChildProcess folder;
    rec.attach(folder);
    folder.setProgram(ws.makeDir(QStringLiteral("folder")));
    EXPECT_FALSE(folder.start());
    EXPECT_EQ(folder.result().outcome, RunResult::Outcome::failedToStart);
    pumpEvents(100);
    EXPECT_TRUE(rec.events.isEmpty());
}

TEST(ChildGroup, GrandchildIgnoringSigtermIsKilledAfterTheGracePeriod)
{
    TempWorkspace ws;
    const QString pidFile = ws.path(QStringLiteral("grandchild.pid"));
    Recorder rec;
    ChildProcess child;
    rec.attach(child);
    setShell(child, QStringLiteral("sh -c 'trap \"\" TERM; echo $$ > %1; while :; do sleep 0.1; done' & wait")
                        .arg(shellQuote(pidFile)));
    child.setGracePeriod(300);
    ASSERT_TRUE(child.start());
    const qint64 grandchild = waitForPid(pidFile);
    ASSERT_GT(grandchild, 0);
    ASSERT_TRUE(processAlive(grandchild));
    child.stop();
    ASSERT_TRUE(waitUntil([&] { return rec.ended(); }));
    EXPECT_EQ(rec.result->outcome, RunResult::Outcome::stopped);
    EXPECT_TRUE(waitUntil([&] { return !processAlive(grandchild); }, 5000));
}

TEST(ChildGroup, StopEndsWithoutWaitingOutTheGraceWhenTheGroupLeaves)
{
    // The leader ends on SIGTERM and so does the grandchild: nothing is left
    // to wait for, so a long grace period is not sat out.
    TempWorkspace ws;
    const QString pidFile = ws.path(QStringLiteral("grandchild.pid"));
    Recorder rec;
    ChildProcess child;
    rec.attach(child);
    setShell(child, QStringLiteral("sh -c 'echo $$ > %1; exec sleep 60' & wait").arg(shellQuote(pidFile)));
    child.setGracePeriod(30000);
    ASSERT_TRUE(child.start());
    const qint64 grandchild = waitForPid(pidFile);
    ASSERT_GT(grandchild, 0);
    child.stop();
    ASSERT_TRUE(waitUntil([&] { return rec.ended(); }, 15000));
    EXPECT_EQ(rec.result->outcome, RunResult::Outcome::stopped);
    EXPECT_FALSE(processAlive(grandchild));
}

TEST(ChildGroup, BackgroundProcessOfAnExitedChildDoesNotOutliveTheRun)
{
    // The background process keeps the output pipe open; the run ends anyway.
    TempWorkspace ws;
    const QString pidFile = ws.path(QStringLiteral("background.pid"));
    Recorder rec;
    ChildProcess child;
    rec.attach(child);
    setShell(child, QStringLiteral("sleep 120 & echo $! > %1; echo leaving").arg(shellQuote(pidFile)));
    ASSERT_TRUE(child.start());
    ASSERT_TRUE(waitUntil([&] { return rec.ended(); }, 30000));
    EXPECT_EQ(rec.result->outcome, RunResult::Outcome::succeeded);
    EXPECT_EQ(rec.joined(), QStringLiteral("leaving"));
    const qint64 background = waitForPid(pidFile);
    ASSERT_GT(background, 0);
    EXPECT_TRUE(waitUntil([&] { return !processAlive(background); }, 5000));
}

TEST(ChildGroup, DestroyingARunningChildLeavesNoProcess)
{
    TempWorkspace ws;
    const QString pidFile = ws.path(QStringLiteral("background.pid"));
    Recorder rec;
    auto child = std::make_unique<ChildProcess>();
    rec.attach(*child);
    setShell(*child, QStringLiteral("sleep 120 & echo $! > %1; sleep 120").arg(shellQuote(pidFile)));
    ASSERT_TRUE(child->start());
    const qint64 leader = child->processId();
    const qint64 background = waitForPid(pidFile);
    ASSERT_GT(background, 0);
    ASSERT_TRUE(processAlive(leader));
    EXPECT_TRUE(childProcesses(QCoreApplication::applicationPid()).contains(leader));

    child.reset();
    EXPECT_FALSE(processAlive(leader));  // reaped, not left a zombie or running
    EXPECT_FALSE(childProcesses(QCoreApplication::applicationPid()).contains(leader));
    EXPECT_TRUE(waitUntil([&] { return !processAlive(background); }, 5000));
    pumpEvents(100);
    EXPECT_TRUE(rec.events.isEmpty());  // a child going away reports nothing
}

namespace {

// What the descriptors of a process point at ("pipe:[123]", "/dev/null"):
// Linux's /proc only.
QStringList openFiles(qint64 pid)
{
    QStringList files;
    const QString folder = QStringLiteral("/proc/%1/fd/").arg(pid);
    for (const QString& fd : QDir(folder).entryList(QDir::Files | QDir::System))
        files << QFileInfo(folder + fd).symLinkTarget().section(QLatin1Char('/'), -1);
    return files;
}

// The processes outside group that share with this one a pipe it did not
// hold before: a run's watchdog, whose pipe's other end is ours.
QList<qint64> pipePartners(qint64 group, const QStringList& before)
{
    const qint64 self = QCoreApplication::applicationPid();
    const QStringList ours = openFiles(self);
    QList<qint64> partners;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const qint64 pid = entry.toLongLong();
        if (pid <= 0 || pid == self || processes::processInfo(pid).value_or(processes::ProcessInfo{}).group == group)
            continue;
        for (const QString& file : openFiles(pid)) {
            if (file.startsWith(QStringLiteral("pipe:")) && ours.contains(file) && !before.contains(file)) {
                partners << pid;
                break;
            }
        }
    }
    return partners;
}

}  // namespace

TEST(ChildGroup, EachRunHasAWatchdogApartFromItThatLeavesWithTheRun)
{
#ifndef Q_OS_LINUX
    GTEST_SKIP() << "finds the watchdog by its open pipes in /proc";
#endif
    const QStringList before = openFiles(QCoreApplication::applicationPid());  // the test's own output, say
    Recorder rec;
    ChildProcess child;
    rec.attach(child);
    setShell(child, QStringLiteral("sleep 0.5"));
    ASSERT_TRUE(child.start());
    QList<qint64> watchdogs;
    ASSERT_TRUE(waitUntil([&] { return !(watchdogs = pipePartners(child.processId(), before)).isEmpty(); }, 5000));
    ASSERT_EQ(watchdogs.size(), 1);
    const qint64 watchdog = watchdogs.first();
    // In a group of its own, and holding nothing of the child's (its output pipe).
    EXPECT_EQ(processes::processInfo(watchdog).value_or(processes::ProcessInfo{}).group, watchdog);
    EXPECT_EQ(openFiles(watchdog).size(), 1) << openFiles(watchdog).join(' ').toStdString();
    ASSERT_TRUE(waitUntil([&] { return rec.ended(); }));
    EXPECT_TRUE(waitUntil([&] { return !processAlive(watchdog); }, 2000));

    // A program that cannot run leaves no watchdog waiting either.
    TempWorkspace ws;
    ChildProcess folder;
    folder.setProgram(ws.makeDir(QStringLiteral("folder")));
    EXPECT_FALSE(folder.start());
    EXPECT_TRUE(waitUntil([&] { return pipePartners(0, before).isEmpty(); }, 2000));
}

TEST(CpuCores, TheTightestQuotaOfTheProcesssGroupsAndTheirParentsLimitsTheCores)
{
    EXPECT_EQ(cpu::coresFromQuota(150000, 100000), 2);  // a core and a half keeps two busy
    EXPECT_EQ(cpu::coresFromQuota(20000, 100000), 1);
    EXPECT_EQ(cpu::coresFromQuota(-1, 100000), std::nullopt);

    TempWorkspace ws;
    const QString root = ws.root();
    // cgroup v2: the group allows none, its parent three, the top "max".
    ws.writeFile("proc/self/cgroup", "0::/user.slice/app.scope\n");
    ws.writeFile("sys/fs/cgroup/user.slice/app.scope/cpu.max", "max 100000\n");
    ws.writeFile("sys/fs/cgroup/user.slice/cpu.max", "250000 100000\n");
    ws.writeFile("sys/fs/cgroup/cpu.max", "max 100000\n");
    EXPECT_EQ(cpu::cgroupCoreLimit(root), 3);
    ws.writeFile("sys/fs/cgroup/user.slice/cpu.max", "max 100000\n");
    EXPECT_EQ(cpu::cgroupCoreLimit(root), std::nullopt);

    // cgroup v1, inside a container whose own path is not mounted: its top counts.
    ws.writeFile("proc/self/cgroup", "4:memory:/docker/abc\n3:cpu,cpuacct:/docker/abc\n0::/\n");
    ws.writeFile("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "200000\n");
    ws.writeFile("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(cpu::cgroupCoreLimit(root), 2);
    ws.writeFile("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
    EXPECT_EQ(cpu::cgroupCoreLimit(root), std::nullopt);
    EXPECT_GE(cpu::usableCores(), 1);
}

TEST(CpuCores, TheUsersThreadCountStandsAndOursIsSetOnlyWithoutOne)
{
    QProcessEnvironment plain;
    plain.insert("PATH", "/usr/bin");
    const QProcessEnvironment ours = cpu::withThreadCount(plain, 2);
    EXPECT_EQ(ours.value("OMP_NUM_THREADS"), "2");
    EXPECT_EQ(ours.value("MKL_NUM_THREADS"), "2");
    EXPECT_EQ(cpu::threadCount(ours), 2);
    EXPECT_EQ(cpu::threadCount(plain), 0);

    QProcessEnvironment chosen = plain;
    chosen.insert("MKL_NUM_THREADS", "1");
    EXPECT_EQ(cpu::withThreadCount(chosen, 2), chosen);
    EXPECT_EQ(cpu::threadCount(chosen), 0);  // what OpenMP takes is not known
    chosen.insert("OMP_NUM_THREADS", " 3 ");
    EXPECT_EQ(cpu::threadCount(chosen), 3);
    chosen.insert("OMP_NUM_THREADS", "4,2");  // nested levels: not one count
    EXPECT_EQ(cpu::threadCount(chosen), 0);
}
