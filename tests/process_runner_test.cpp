// Child processes: their environment, how output becomes log entries, long
// runs with real children, and synchronous runs.
#include "process/ProcessRunner.h"
#include "support/TestSupport.h"

#include <QPlainTextEdit>

#include <gtest/gtest.h>

namespace {

const QString fixedPath = QStringLiteral("/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");

// Everything a long run reported, in order.
struct Recorder {
    QStringList chunks;
    QStringList events;  // "out:<text>" and "end:<status>"
    bool ended = false;
    int status = -1;

    void attach(ProcessRun& run)
    {
        run.setSink([this](const QString& text) {
            chunks << text;
            events << QStringLiteral("out:") + text;
        });
        run.setCompletion([this](int s) {
            status = s;
            ended = true;
            events << QStringLiteral("end:%1").arg(s);
        });
    }
    QString joined() const { return chunks.join(QString()); }
};

// Runs a shell snippet as a long run and waits for its end.
Recorder runShell(const QString& script, QString* launchError = nullptr)
{
    Recorder rec;
    auto* run = new ProcessRun(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script},
                               QProcessEnvironment::systemEnvironment());
    rec.attach(*run);
    QString error;
    if (!run->launch(&error)) {
        if (launchError)
            *launchError = error;
        delete run;
        return rec;
    }
    EXPECT_TRUE(waitUntil([&] { return rec.ended; }, 20000));
    return rec;
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
    auto app = makeDelegate(makeTestProfile(ws), false);
    app->appendProcessOutput(QStringLiteral("a\r\nb\n\n  c  \r"));
    app->appendProcessOutput(QStringLiteral("   \n"));
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

TEST(LongRun, StreamsOutputWhileTheChildRuns)
{
    Recorder rec;
    auto* run = new ProcessRun(QStringLiteral("/bin/sh"),
                               {QStringLiteral("-c"), QStringLiteral("echo first; sleep 1; echo second 1>&2")},
                               QProcessEnvironment::systemEnvironment());
    rec.attach(*run);
    QString error;
    ASSERT_TRUE(run->launch(&error)) << error.toStdString();
    ASSERT_TRUE(waitUntil([&] { return !rec.chunks.isEmpty(); }, 5000));
    EXPECT_FALSE(rec.ended);  // the first line came before the child ended
    EXPECT_EQ(rec.chunks.first(), QStringLiteral("first\n"));
    ASSERT_TRUE(waitUntil([&] { return rec.ended; }, 10000));
    EXPECT_EQ(rec.joined(), QStringLiteral("first\nsecond\n"));  // stderr merged
    EXPECT_EQ(rec.status, 0);
}

TEST(LongRun, SplitCharactersAndLinesArriveWhole)
{
    const Recorder rec = runShell(QStringLiteral(
        "printf 'caf\\303'; sleep 0.3; printf '\\251 /music/a '; sleep 0.3; printf 'b.m4a\\n'; "
        "printf 'bad \\377 byte\\n'"));
    EXPECT_EQ(rec.joined(), QStringLiteral("café /music/a b.m4a\nbad \uFFFD byte\n"));
    for (const QString& chunk : rec.chunks)
        EXPECT_TRUE(chunk.endsWith(QLatin1Char('\n'))) << chunk.toStdString();
}

TEST(LongRun, LastOutputComesBeforeTheEnd)
{
    // Repeated, because losing the race only shows now and then.
    for (int i = 0; i < 20; ++i) {
        const Recorder rec = runShell(QStringLiteral("printf 'x%.0s' $(seq 1 3000); printf '\\n/last/line'; exit 3"));
        ASSERT_GE(rec.events.size(), 2);
        EXPECT_EQ(rec.events.last(), QStringLiteral("end:3"));
        EXPECT_TRUE(rec.joined().endsWith(QStringLiteral("\n/last/line"))) << i;
        EXPECT_EQ(rec.joined().size(), 3000 + 11);
    }
}

TEST(LongRun, SignalEndsWithNonZeroStatus)
{
    const Recorder rec = runShell(QStringLiteral("echo going; kill -9 $$"));
    EXPECT_TRUE(rec.ended);
    EXPECT_NE(rec.status, 0);
    EXPECT_EQ(rec.joined(), QStringLiteral("going\n"));

    const Recorder term = runShell(QStringLiteral("kill -TERM $$"));
    EXPECT_NE(term.status, 0);
}

TEST(LongRun, LaunchFailureIsReportedAtOnceAndNothingElse)
{
    TempWorkspace ws;
    Recorder rec;
    auto* run = new ProcessRun(ws.path(QStringLiteral("missing/tool")), {},
                               QProcessEnvironment::systemEnvironment());
    rec.attach(*run);
    QString error;
    EXPECT_FALSE(run->launch(&error));
    EXPECT_FALSE(error.isEmpty());
    pumpEvents(200);
    EXPECT_TRUE(rec.events.isEmpty());
    delete run;

    // A folder is not a program either.
    auto* dirRun = new ProcessRun(ws.makeDir(QStringLiteral("folder")), {}, QProcessEnvironment());
    EXPECT_FALSE(dirRun->launch(&error));
    delete dirRun;
}

TEST(LongRun, ControllerSinkGetsEntriesAndAGoneControllerIsIgnored)
{
    TempWorkspace ws;
    auto app = makeDelegate(makeTestProfile(ws), false);
    int status = -1;
    bool sawController = false;
    auto shellRun = [&](const QString& script) {
        return app->makeLongRun(
            QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script},
            [](AppDelegate& self, const QString& text) { self.appendProcessOutput(text); },
            [&](AppDelegate* self, int s) {
                sawController = self != nullptr;
                status = s;
            });
    };
    ProcessRun* run = shellRun(QStringLiteral("printf 'a\\rb\\n  c\\n'; echo $PATH"));
    QString error;
    ASSERT_TRUE(run->launch(&error));
    ASSERT_TRUE(waitUntil([&] { return status != -1; }));
    EXPECT_TRUE(sawController);
    const QStringList lines = logLines(*app);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines.mid(0, 3), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(lines[3], ws.path(QStringLiteral("pathbin")) + QStringLiteral(":") + fixedPath);

    // The run holds the controller weakly: releasing it mid-run is harmless.
    status = -1;
    ProcessRun* late = shellRun(QStringLiteral("sleep 0.3; echo late"));
    ASSERT_TRUE(late->launch(&error));
    app.reset();
    ASSERT_TRUE(waitUntil([&] { return status != -1; }));
    EXPECT_FALSE(sawController);
    EXPECT_EQ(status, 0);
}

TEST(SyncRun, ChattyChildNeverBlocksAndOutputIsComplete)
{
    const QString script = QStringLiteral("head -c 1048576 /dev/zero | tr '\\0' 'a'; head -c 300000 /dev/zero 1>&2; exit 4");
    SyncRunOptions merged;
    merged.output = SyncRunOptions::Output::merged;
    const SyncRunResult m = runSync(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script}, merged);
    EXPECT_TRUE(m.launched);
    EXPECT_EQ(m.status, 4);
    EXPECT_EQ(m.output.size(), 1048576 + 300000);

    SyncRunOptions discard;
    const SyncRunResult d = runSync(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script}, discard);
    EXPECT_EQ(d.status, 4);
    EXPECT_TRUE(d.output.isEmpty());

    SyncRunOptions stdoutOnly;
    stdoutOnly.output = SyncRunOptions::Output::stdoutOnly;
    QProcessEnvironment env;
    env.insert(QStringLiteral("GREETING"), QStringLiteral("hi"));
    stdoutOnly.environment = env;
    const SyncRunResult s = runSync(QStringLiteral("/bin/sh"),
                                    {QStringLiteral("-c"), QStringLiteral("echo \"$GREETING\"; echo noise 1>&2")},
                                    stdoutOnly);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.output, QByteArray("hi\n"));

    const SyncRunResult missing = runSync(QStringLiteral("/nonexistent/tool"), {}, discard);
    EXPECT_FALSE(missing.launched);
    EXPECT_FALSE(missing.launchError.isEmpty());
}
