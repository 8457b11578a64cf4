// Finding a system Python for the managed Demucs environment.
#include "demucs/DemucsContract.h"
#include "support/TestSupport.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

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

TEST_F(PythonDiscovery, FirstPassingCandidateWinsSpelledAsBuilt)
{
    // A prefix spelled with a redundant component, to see the result is not normalized.
    profile.pythonPrefixes = {ws.path(QStringLiteral("opt/./homebrew")), ws.path(QStringLiteral("usr/local"))};
    writePython(ws, QStringLiteral("opt/homebrew/opt/python@3.12/bin/python3.12"), QStringLiteral("3.13.0"));
    writePython(ws, QStringLiteral("opt/homebrew/opt/python@3.12/bin/python3"), QStringLiteral("3.8.18"));
    writePython(ws, QStringLiteral("opt/homebrew/bin/python3.12"), QStringLiteral("3.12.4"));
    writePython(ws, QStringLiteral("opt/homebrew/opt/python@3.11/bin/python3.11"), QStringLiteral("3.11.9"));
    auto app = makeDelegate(profile, false);

    const auto found = app->findSystemPython3();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, ws.path(QStringLiteral("opt/./homebrew/bin/python3.12")));
    EXPECT_EQ(runs(ws).size(), 3);  // 3.13 and 3.8 were probed and rejected; the search stopped at 3.12
    EXPECT_EQ(app->pythonVersionDescription(*found), " (3.12.4)");

    // The lower bound is inclusive too.
    const QString oldest = writePython(ws, QStringLiteral("usr/local/bin/python3.9"), QStringLiteral("3.9.0"));
    EXPECT_TRUE(app->isUsablePythonForDemucs(oldest));
}

TEST_F(PythonDiscovery, ExcludedInterpreterIsNeverRunButALinkToItIs)
{
    const QString python = writePython(ws, QStringLiteral("opt/homebrew/bin/python3"), QStringLiteral("3.12.1"));
    profile.excludedPython = python;
    auto app = makeDelegate(profile, false);
    EXPECT_FALSE(app->findSystemPython3().has_value());
    EXPECT_FALSE(app->isUsablePythonForDemucs(ws.path(QStringLiteral("opt/homebrew//bin/./python3"))));
    EXPECT_TRUE(runs(ws).isEmpty());

    ws.makeDir(QStringLiteral("pathbin"));
    ASSERT_TRUE(QFile::link(python, ws.path(QStringLiteral("pathbin/python3.11"))));
    const auto found = app->findSystemPython3();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, ws.path(QStringLiteral("pathbin/python3.11")));
    EXPECT_EQ(runs(ws).size(), 1);

    // The real rule names /usr/bin/python3 itself, however it is spelled.
    auto plain = makeDelegate(makeTestProfile(ws), false);
    EXPECT_FALSE(plain->isUsablePythonForDemucs(QStringLiteral("/usr//bin/../bin/python3")));
}

TEST_F(PythonDiscovery, EachFileIsProbedOnceAndPathIsTheOnlyOtherSource)
{
    writePython(ws, QStringLiteral("opt/homebrew/bin/python3"), QStringLiteral("3.8.10"));
    profile.appEnvironment.insert(QStringLiteral("PATH"),
                                  ws.path(QStringLiteral("opt/homebrew/bin")) + QLatin1Char(':') +
                                      ws.path(QStringLiteral("opt/homebrew/./bin/")) + QLatin1Char(':') +
                                      ws.path(QStringLiteral("pathbin")));
    const QString inPath = writePython(ws, QStringLiteral("pathbin/python3"), QStringLiteral("3.10.2"));
    {
        auto app = makeDelegate(profile, false);
        EXPECT_EQ(app->findSystemPython3(), inPath);
        EXPECT_EQ(runs(ws), QStringList({ws.path(QStringLiteral("opt/homebrew/bin/python3")), inPath}));
    }

    QFile::remove(ws.path(QStringLiteral("runs.log")));
    profile.appEnvironment.remove(QStringLiteral("PATH"));
    auto app = makeDelegate(profile, false);
    EXPECT_FALSE(app->findSystemPython3().has_value());
    EXPECT_EQ(runs(ws).size(), 1);  // only the fixed candidate
}

TEST_F(PythonDiscovery, VersionDescriptionIsEmptyWhenTheQueryGivesNothingUsable)
{
    auto app = makeDelegate(profile, false);
    EXPECT_EQ(app->pythonVersionDescription(ws.writeScript(QStringLiteral("blank"), QStringLiteral("printf '  \\n \\n'"))),
              QString());
    EXPECT_EQ(app->pythonVersionDescription(ws.writeScript(QStringLiteral("fails"), QStringLiteral("echo 3.12.4; exit 2"))),
              QString());
    EXPECT_EQ(app->pythonVersionDescription(ws.writeScript(QStringLiteral("latin1"), QStringLiteral("printf '3.12\\351\\n'"))),
              QString());
    EXPECT_EQ(app->pythonVersionDescription(ws.path(QStringLiteral("missing/python3"))), QString());
    // Only standard output counts, trimmed.
    EXPECT_EQ(app->pythonVersionDescription(
                  ws.writeScript(QStringLiteral("noisy"), QStringLiteral("echo warning >&2; printf ' 3.11.2 \\n'"))),
              " (3.11.2)");
}
