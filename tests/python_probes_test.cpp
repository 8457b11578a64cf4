// Finding a system Python for the managed Demucs environment.
#include "demucs/DemucsContract.h"
#include "demucs/ManagedPython.h"
#include "demucs/PythonProbes.h"
#include "process/ChildEnvironment.h"
#include "support/TestSupport.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

QProcessEnvironment childEnvironmentOf(const PlatformProfile& profile)
{
    return childEnvironment(profile.appEnvironment, profile.fixedToolSearchPath);
}

// One whole search, waited for.
struct Search {
    std::optional<QString> python;
    bool stopped = false;
    QStringList timedOut;
};

Search findPython(const PlatformProfile& profile)
{
    demucs::PythonFinder finder(profile, childEnvironmentOf(profile));
    Search search;
    bool done = false;
    QObject::connect(&finder, &demucs::PythonFinder::probeTimedOut,
                     [&](const QString& candidate) { search.timedOut << candidate; });
    QObject::connect(&finder, &demucs::PythonFinder::finished, [&](const std::optional<QString>& python, bool stopped) {
        EXPECT_FALSE(done) << "finished twice";
        search.python = python;
        search.stopped = stopped;
        done = true;
    });
    finder.start();
    EXPECT_TRUE(waitUntil([&] { return done; }, 60000));
    return search;
}

QString versionDescription(const PlatformProfile& profile, const QString& python)
{
    demucs::PythonFinder finder(profile, childEnvironmentOf(profile));
    std::optional<QString> answer;
    finder.describeVersion(python, [&](const QString& text) { answer = text; });
    EXPECT_TRUE(waitUntil([&] { return answer.has_value(); }, 60000));
    return answer.value_or(QStringLiteral("(no answer)"));
}

// A real interpreter with venv and ensurepip, to stand in for other versions.
QString realPython()
{
    for (const char* path : {"/usr/bin/python3.12", "/usr/bin/python3.11", "/usr/bin/python3.10",
                             "/usr/bin/python3.9", "/usr/bin/python3"}) {
        if (QFile::exists(QString::fromLatin1(path)))
            return QString::fromLatin1(path);
    }
    return {};
}

// An interpreter that runs the given script like real Python of another
// version; every run appends a line to runs.log.
QString writePython(const TempWorkspace& ws, const QString& relative, const QString& version)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    const QString patch = QStringLiteral("import sys; sys.version_info = (%1, %2, %3, 'final', 0); exec(sys.argv[2])")
                              .arg(parts[0], parts[1], parts[2]);
    return ws.writeScript(relative, QStringLiteral("echo \"$0\" >> %1\nexec %2 -c %3 \"$@\"")
                                        .arg(shellQuote(ws.path(QStringLiteral("runs.log"))),
                                             shellQuote(realPython()), shellQuote(patch)));
}

QStringList runs(const TempWorkspace& ws)
{
    return readRecordedArgs(ws.path(QStringLiteral("runs.log")));
}

class PythonDiscovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (realPython().isEmpty())
            GTEST_SKIP() << "no Python 3 interpreter in /usr/bin to stand in for the candidates";
        profile = makeTestProfile(ws);
    }
    QString fixed(const QString& relative) const { return ws.path(relative); }

    TempWorkspace ws;
    PlatformProfile profile;
};

}  // namespace

TEST(PythonCandidates, FixedLocationsInOrderThenFiveNamesPerPathEntry)
{
    PlatformProfile profile = PlatformProfile::current();
    profile.pythonPrefixes = {QStringLiteral("/opt/homebrew"), QStringLiteral("/usr/local")};
    profile.pythonFrameworkVersions = QStringLiteral("/Library/Frameworks/Python.framework/Versions");
    profile.appEnvironment.remove(QStringLiteral("PATH"));
    const QStringList fixedOnly = demucs::pythonCandidates(profile);
    ASSERT_EQ(fixedOnly.size(), 31);
    EXPECT_EQ(fixedOnly[0], "/opt/homebrew/opt/python@3.12/bin/python3.12");
    EXPECT_EQ(fixedOnly[1], "/opt/homebrew/opt/python@3.12/bin/python3");
    EXPECT_EQ(fixedOnly[2], "/opt/homebrew/bin/python3.12");
    EXPECT_EQ(fixedOnly[11], "/opt/homebrew/bin/python3.9");
    EXPECT_EQ(fixedOnly[12], "/opt/homebrew/bin/python3");
    EXPECT_EQ(fixedOnly[13], "/usr/local/opt/python@3.12/bin/python3.12");
    EXPECT_EQ(fixedOnly[25], "/usr/local/bin/python3");
    EXPECT_EQ(fixedOnly[26], "/Library/Frameworks/Python.framework/Versions/3.12/bin/python3");
    EXPECT_EQ(fixedOnly[29], "/Library/Frameworks/Python.framework/Versions/3.9/bin/python3");
    EXPECT_EQ(fixedOnly[30], "/Library/Frameworks/Python.framework/Versions/Current/bin/python3");

    profile.appEnvironment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin::/opt/x/"));
    const QStringList withPath = demucs::pythonCandidates(profile);
    ASSERT_EQ(withPath.size(), 41);  // the empty entry adds nothing
    EXPECT_EQ(withPath.mid(0, 31), fixedOnly);
    EXPECT_EQ(withPath.mid(31, 5),
              QStringList({"/usr/bin/python3.12", "/usr/bin/python3.11", "/usr/bin/python3.10",
                           "/usr/bin/python3.9", "/usr/bin/python3"}));
    EXPECT_EQ(withPath[36], "/opt/x/python3.12");
}

TEST(PythonCandidates, StemloftsOwnPythonsComeNewestFirstAndOnlyThoseDemucsCanUse)
{
    TempWorkspace ws;
    for (const char* name : {"cpython-3.12.4-linux-x86_64-gnu", "cpython-3.9.1-linux-x86_64-gnu",
                             "cpython-3.12.10-linux-x86_64-gnu", "cpython-3.13.1-linux-x86_64-gnu",
                             "cpython-3.12.4+freethreaded-linux-x86_64-gnu", "pypy-3.10.14-linux-x86_64-gnu", ".temp"})
        ws.makeDir(QStringLiteral("python/") + name);
    ws.writeFile(QStringLiteral("python/cpython-3.11.0-linux-x86_64-gnu"), "a file, not an installation");
    const QString folder = ws.path(QStringLiteral("python"));
    EXPECT_EQ(demucs::managedPythonCandidates(folder),
              QStringList({folder + "/cpython-3.12.10-linux-x86_64-gnu/bin/python3.12",
                           folder + "/cpython-3.12.4-linux-x86_64-gnu/bin/python3.12",
                           folder + "/cpython-3.9.1-linux-x86_64-gnu/bin/python3.9"}));
    EXPECT_TRUE(demucs::managedPythonCandidates(ws.path(QStringLiteral("missing"))).isEmpty());
}

TEST_F(PythonDiscovery, FirstPassingCandidateWinsSpelledAsBuilt)
{
    // A prefix spelled with a redundant component, to see the result is not normalized.
    profile.pythonPrefixes = {ws.path(QStringLiteral("opt/./homebrew")), ws.path(QStringLiteral("usr/local"))};
    writePython(ws, QStringLiteral("opt/homebrew/opt/python@3.12/bin/python3.12"), QStringLiteral("3.13.0"));
    writePython(ws, QStringLiteral("opt/homebrew/opt/python@3.12/bin/python3"), QStringLiteral("3.8.18"));
    writePython(ws, QStringLiteral("opt/homebrew/bin/python3.12"), QStringLiteral("3.12.4"));
    writePython(ws, QStringLiteral("opt/homebrew/opt/python@3.11/bin/python3.11"), QStringLiteral("3.11.9"));

    const Search search = findPython(profile);
    ASSERT_TRUE(search.python.has_value());
    EXPECT_EQ(*search.python, ws.path(QStringLiteral("opt/./homebrew/bin/python3.12")));
    EXPECT_FALSE(search.stopped);
    EXPECT_EQ(runs(ws).size(), 3);  // 3.13 and 3.8 were probed and rejected; the search stopped at 3.12
    EXPECT_EQ(versionDescription(profile, *search.python), " (3.12.4)");

    // The lower bound is inclusive too.
    const QString oldest = writePython(ws, QStringLiteral("usr/local/bin/python3.9"), QStringLiteral("3.9.0"));
    profile.pythonPrefixes = {ws.path(QStringLiteral("usr/local"))};
    EXPECT_EQ(findPython(profile).python, oldest);
}

TEST_F(PythonDiscovery, ExcludedInterpreterIsNeverRunButALinkToItIs)
{
    const QString python = writePython(ws, QStringLiteral("opt/homebrew/bin/python3"), QStringLiteral("3.12.1"));
    profile.excludedPython = python;
    // Reached through a PATH entry spelled another way, it is still the excluded file.
    profile.appEnvironment.insert(QStringLiteral("PATH"), ws.path(QStringLiteral("opt/homebrew//bin/.")));
    EXPECT_FALSE(findPython(profile).python.has_value());
    EXPECT_TRUE(runs(ws).isEmpty());

    ws.makeDir(QStringLiteral("pathbin"));
    ASSERT_TRUE(QFile::link(python, ws.path(QStringLiteral("pathbin/python3.11"))));
    profile.appEnvironment.insert(QStringLiteral("PATH"), ws.path(QStringLiteral("pathbin")));
    const Search search = findPython(profile);
    ASSERT_TRUE(search.python.has_value());
    EXPECT_EQ(*search.python, ws.path(QStringLiteral("pathbin/python3.11")));
    EXPECT_EQ(runs(ws).size(), 1);

    // The real rule names macOS's /usr/bin/python3 itself, however it is
    // spelled; on Linux that is the system's real Python.
    const PlatformProfile mac = PlatformProfile::forSystem(PlatformProfile::System::macOS, "arm64");
    const demucs::PythonFinder macFinder(mac, mac.appEnvironment);
    EXPECT_FALSE(macFinder.isUsableCandidate(QStringLiteral("/usr//bin/../bin/python3")));
    EXPECT_TRUE(macFinder.isUsableCandidate(QStringLiteral("/usr/bin/python3.11")));
    const PlatformProfile gnu = PlatformProfile::forSystem(PlatformProfile::System::linuxOS, "x86_64");
    EXPECT_TRUE(demucs::PythonFinder(gnu, gnu.appEnvironment).isUsableCandidate(QStringLiteral("/usr/bin/python3")));
}

TEST_F(PythonDiscovery, EachFileIsProbedOnceAndPathIsTheOnlyOtherSource)
{
    writePython(ws, QStringLiteral("opt/homebrew/bin/python3"), QStringLiteral("3.8.10"));
    profile.appEnvironment.insert(QStringLiteral("PATH"),
                                  ws.path(QStringLiteral("opt/homebrew/bin")) + QLatin1Char(':') +
                                      ws.path(QStringLiteral("opt/homebrew/./bin/")) + QLatin1Char(':') +
                                      ws.path(QStringLiteral("pathbin")));
    const QString inPath = writePython(ws, QStringLiteral("pathbin/python3"), QStringLiteral("3.10.2"));
    EXPECT_EQ(findPython(profile).python, inPath);
    EXPECT_EQ(runs(ws), QStringList({ws.path(QStringLiteral("opt/homebrew/bin/python3")), inPath}));

    QFile::remove(ws.path(QStringLiteral("runs.log")));
    profile.appEnvironment.remove(QStringLiteral("PATH"));
    const Search search = findPython(profile);
    EXPECT_FALSE(search.python.has_value());
    EXPECT_FALSE(search.stopped);
    EXPECT_EQ(runs(ws).size(), 1);  // only the fixed candidate
}

TEST_F(PythonDiscovery, VersionDescriptionIsEmptyWhenTheQueryGivesNothingUsable)
{
    const auto describe = [&](const QString& python) { return versionDescription(profile, python); };
    EXPECT_EQ(describe(ws.writeScript(QStringLiteral("blank"), QStringLiteral("printf '  \\n \\n'"))), QString());
    EXPECT_EQ(describe(ws.writeScript(QStringLiteral("fails"), QStringLiteral("echo 3.12.4; exit 2"))), QString());
    EXPECT_EQ(describe(ws.writeScript(QStringLiteral("latin1"), QStringLiteral("printf '3.12\\351\\n'"))), QString());
    EXPECT_EQ(describe(ws.path(QStringLiteral("missing/python3"))), QString());
    // Only standard output counts, trimmed.
    EXPECT_EQ(describe(ws.writeScript(QStringLiteral("noisy"), QStringLiteral("echo warning >&2; printf ' 3.11.2 \\n'"))),
              " (3.11.2)");
}

TEST_F(PythonDiscovery, ACandidateThatDoesNotAnswerInTimeIsPassedOver)
{
    // Long enough for a real interpreter to start on a loaded machine.
    profile.probeTimeLimitMs = 3000;
    const QString pidFile = ws.path(QStringLiteral("hung.pid"));
    // It would pass if it were waited for.
    const QString hung = ws.writeScript(QStringLiteral("opt/homebrew/bin/python3.12"),
                                        QStringLiteral("echo $$ > %1\nsleep 120\nexit 0").arg(shellQuote(pidFile)));
    const QString next = writePython(ws, QStringLiteral("opt/homebrew/bin/python3.11"), QStringLiteral("3.11.4"));

    const Search search = findPython(profile);
    EXPECT_EQ(search.python, next);
    EXPECT_EQ(search.timedOut, QStringList{hung});
    const qint64 pid = ws.readFile(pidFile).trimmed().toLongLong();
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(processAlive(pid));
}
