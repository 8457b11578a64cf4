// Finding and removing what killed runs left behind, without touching live ones.
#include "base/AppError.h"
#include "base/FileOps.h"
#include "separation/Leftovers.h"
#include "support/AppSupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <sys/time.h>

namespace {

// Sets a file's or folder's modification time secs into the past.
void backdate(const QString& path, qint64 secs)
{
    const timeval old = {time_t(QDateTime::currentSecsSinceEpoch() - secs), 0};
    const timeval times[2] = {old, old};
    ASSERT_EQ(::utimes(QFile::encodeName(path).constData(), times), 0) << path.toStdString();
}

quint64 recordedStart(qint64 pid)
{
    return ownership::ownerRecord(pid).trimmed().split(' ').value(1).toULongLong();
}

// A child that runs until it is killed at the end of the test.
struct Sleeper {
    QProcess process;
    explicit Sleeper(const QString& program = QStringLiteral("sleep"))
    {
        process.start(program, {QStringLiteral("30")});
        process.waitForStarted();
    }
    ~Sleeper()
    {
        process.kill();
        process.waitForFinished();
    }
    qint64 pid() const { return process.processId(); }
};

}  // namespace

TEST(OwnerRecord, NamesAProcessAndRejectsWhatIsNotOne)
{
    const qint64 self = QCoreApplication::applicationPid();
    const QByteArray record = ownership::ownerRecord(self);
    EXPECT_TRUE(record.startsWith(QByteArray::number(self) + ' ')) << record.constData();
    EXPECT_TRUE(record.endsWith('\n'));
    EXPECT_NE(recordedStart(self), 0u);
    EXPECT_TRUE(ownership::isOwnerAlive(record));
    // 0 and -1 would ask kill() about whole process groups, which always answer.
    for (const char* bad : {"", "garbage", "0 0", "-1 0", "12 x", "1 2 3"})
        EXPECT_FALSE(ownership::isOwnerAlive(bad)) << bad;

    TempWorkspace ws;
    EXPECT_THROW(ownership::writeOwnerFile(ws.path("missing"), self), AppError);
}

TEST(OwnerRecord, ReadsTheStartTimeEvenWhenTheCommandNameHoldsSpacesAndParentheses)
{
    TempWorkspace ws;
    const QString oddName = ws.path("a) b c");
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), oddName));
    fileops::setPosixPermissions(oddName, 0755);
    // Children started one after another start in that order, odd name or not.
    Sleeper before;
    Sleeper odd(oddName);
    Sleeper after;
    ASSERT_TRUE(processAlive(odd.pid()));
    const quint64 start = recordedStart(odd.pid());
    EXPECT_LE(recordedStart(before.pid()), start);
    EXPECT_LE(start, recordedStart(after.pid()));
    EXPECT_TRUE(ownership::isOwnerAlive(ownership::ownerRecord(odd.pid())));
}

TEST(AbandonedOutputRoots, KeepsRootsOfLiveOwnersAndReturnsOnesWhoseOwnerIsGone)
{
    TempWorkspace ws;
    const QString tmp = ws.makeDir("tmp");
    const QString own = ws.makeDir("tmp/stemloft-demucs-OWN");
    ownership::writeOwnerFile(own, QCoreApplication::applicationPid());
    Sleeper live;
    const QString child = ws.makeDir("tmp/stemloft-demucs-CHILD");
    ownership::writeOwnerFile(child, live.pid());

    // A pid that ran and was collected, so nothing answers to it any more.
    const QString dead = ws.makeDir("tmp/stemloft-demucs-DEAD");
    QProcess shortLived;
    shortLived.start(QStringLiteral("/bin/true"));
    ASSERT_TRUE(shortLived.waitForStarted());
    const qint64 deadPid = shortLived.processId();
    ASSERT_TRUE(shortLived.waitForFinished());
    ownership::writeOwnerFile(dead, deadPid);

    // The pid runs, but it is not the process that wrote the record.
    const QString reused = ws.makeDir("tmp/stemloft-demucs-REUSED");
    fileops::writeFileAtomically(
        fileops::appendingComponent(reused, ownership::ownerFileName),
        QByteArray::number(live.pid()) + ' ' + QByteArray::number(recordedStart(live.pid()) + 1) + '\n');

    EXPECT_EQ(leftovers::abandonedOutputRoots(tmp, QDateTime::currentDateTime()), QStringList({dead, reused}));
}

TEST(AbandonedOutputRoots, RootsWithoutOwnerWaitOutTheGraceAndOtherEntriesAreIgnored)
{
    TempWorkspace ws;
    const QString tmp = ws.makeDir("tmp");
    ws.makeDir("tmp/stemloft-demucs-NEW");
    const QString old = ws.makeDir("tmp/stemloft-demucs-OLD");
    const QString target = ws.makeDir("elsewhere");
    ASSERT_TRUE(QFile::link(target, ws.path("tmp/stemloft-demucs-link")));
    // All old enough to go: only the name or the kind of entry keeps the others.
    const QString plain = ws.writeFile("tmp/stemloft-demucs-x", "x");
    for (const QString& path : {old, ws.makeDir("tmp/other-folder"), plain, target})
        backdate(path, 2 * 3600);

    const QDateTime now = QDateTime::currentDateTime();
    EXPECT_EQ(leftovers::abandonedOutputRoots(tmp, now), QStringList({old}));
    EXPECT_EQ(leftovers::abandonedOutputRoots(tmp, now, 3 * 3600), QStringList());
}

TEST(StaleStemTemporaries, ReturnsOnlyOldHiddenStemTemporaries)
{
    TempWorkspace ws;
    const QString stems = ws.makeDir("Song");
    const QString uuid = QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e");
    const QString stale = QStringLiteral(".drums.m4a.") + uuid + ".tmp";
    // Only the first is a stem temporary: the second lacks a whole uuid.
    for (const QString& name : {stale, ".bass.m4a." + uuid.left(8) + ".tmp", QStringLiteral("drums.m4a"),
                                QStringLiteral("manifest.json")})
        backdate(ws.writeFile("Song/" + name, "x"), 2 * 3600);
    const QString old = fileops::appendingComponent(stems, stale);
    const QString fresh = ws.writeFile("Song/.vocals.flac." + uuid + ".tmp", "x");

    const QDateTime now = QDateTime::currentDateTime();
    EXPECT_EQ(leftovers::staleStemTemporaries(stems, now), QStringList({old}));
    EXPECT_EQ(leftovers::staleStemTemporaries(stems, now.addSecs(2 * 3600)), QStringList({old, fresh}));
}

TEST(RemoveLeftovers, CountsTheFreedBytesAndNeverFollowsLinks)
{
    TempWorkspace ws;
    const QString root = ws.makeDir("tmp/stemloft-demucs-A");
    ws.writeFile("tmp/stemloft-demucs-A/" + ownership::ownerFileName, "1 2\n");
    ws.writeFile("tmp/stemloft-demucs-A/htdemucs/song/drums.wav", QByteArray(3000, 'd'));
    ws.writeFile("tmp/stemloft-demucs-A/htdemucs/song/bass.wav", QByteArray(500, 'b'));
    const QString outside = ws.writeFile("keep/big.wav", QByteArray(100000, 'k'));
    ASSERT_TRUE(QFile::link(ws.path("keep"), ws.path("tmp/stemloft-demucs-A/htdemucs/linked")));
    const QString loose =
        ws.writeFile("Song/.drums.m4a.0f8fad5b-d9cb-469f-a165-70867728950e.tmp", QByteArray(70, 't'));

    EXPECT_EQ(leftovers::removeLeftovers({root, loose, ws.path("missing")}), 4 + 3000 + 500 + 70);
    EXPECT_FALSE(fileops::itemExists(root));
    EXPECT_FALSE(fileops::itemExists(loose));
    EXPECT_EQ(fileops::fileSize(outside), 100000);
}

// The launch sweeps the temporary folder in the background; a separation
// marks its root as its own and clears old half-encoded stems before it exports.
TEST(Leftovers, LaunchRemovesDeadRunsRootsAndKeepsLiveOnes)
{
    TempWorkspace ws;
    const PlatformProfile profile = makeTestProfile(ws);
    QProcess finished;
    finished.start(QStringLiteral("/bin/true"));
    ASSERT_TRUE(finished.waitForFinished());
    const QString dead = profile.tempDir + QStringLiteral("/stemloft-demucs-DEAD");
    ws.writeFile(QDir(ws.root()).relativeFilePath(dead) + QStringLiteral("/htdemucs/x/vocals.wav"),
                 QByteArray(2500, 'v'));
    ownership::writeOwnerFile(dead, finished.processId());
    const QString mixer = profile.tempDir + QStringLiteral("/stemloft-mixer-DEAD");
    ws.writeFile(QDir(ws.root()).relativeFilePath(mixer) + QStringLiteral("/0.wav"), QByteArray(2500, 'm'));
    ownership::writeOwnerFile(mixer, finished.processId());
    Sleeper otherInstance;
    const QString live = profile.tempDir + QStringLiteral("/stemloft-demucs-LIVE");
    fileops::createDirectories(live);
    ownership::writeOwnerFile(live, otherInstance.process.processId());

    auto app = makeApp(profile);
    ASSERT_TRUE(waitUntil([&] { return logLines(*app).last().startsWith(QStringLiteral("Removed leftovers")); }));
    EXPECT_EQ(logLines(*app).last(), QStringLiteral("Removed leftovers of an interrupted run (5 KB)."));
    EXPECT_FALSE(QFileInfo::exists(dead));
    EXPECT_FALSE(QFileInfo::exists(mixer));
    EXPECT_TRUE(QFileInfo::exists(live + QStringLiteral("/.stemloft-owner")));
}
