// The managed Demucs environment installer, with stand-in interpreters.
#include "cli/StatusReport.h"
#include "demucs/DemucsContract.h"
#include "demucs/DemucsEnvironment.h"
#include "separation_fixtures.h"
#include "support/AppSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <gtest/gtest.h>

namespace {

const QString stillInstalling =
    QStringLiteral("Still installing Demucs dependencies. Large PyTorch downloads can take several minutes.");

// Appends each argument to file, then a separator line, so repeated runs stay apart.
QString appendArgsLines(const QString& file)
{
    return QStringLiteral("for a in \"$@\"; do printf '%s\\n' \"$a\" >> %1; done; echo -- >> %1").arg(shellQuote(file));
}

const QString installPackages = QStringLiteral("touch \"$(dirname \"$0\")/../installed\"; exit 0");

// A system Python that passes discovery, reports 3.12.4 and, after a pause,
// builds an environment whose interpreter records its runs and passes the
// probe once the packages were installed (packageStep: what the package
// install does). venvStatus other than 0 fails the venv step instead.
QString writeSystemPython(const TempWorkspace& ws, const QString& relative, int venvStatus = 0,
                          const QString& pause = QStringLiteral("0"), const QString& packageStep = installPackages)
{
    const QString managed = QStringLiteral(
        "#!/bin/sh\n"
        "%1\n"
        "case \"$*\" in\n"
        "  *torchaudio==2.5.1*) %2;;\n"
        "  *\"-m pip\"*) echo 'Successfully installed pip'; exit 0;;\n"
        "esac\n"
        "[ -e \"$(dirname \"$0\")/../installed\" ]\n")
                                .arg(appendArgsLines(ws.path(QStringLiteral("managed-runs.log"))), packageStep);
    return ws.writeScript(relative, QStringLiteral(
        "[ \"$1\" = --version ] && { echo 'Python 3.12.4'; exit 0; }\n"
        "case \"$2\" in\n"
        "  *ensurepip*) exit 0;;\n"
        "  *'version_info[:3]'*) echo 3.12.4; exit 0;;\n"
        "esac\n"
        "%1\n"
        "sleep %2\n"
        "[ %3 -eq 0 ] || exit %3\n"
        "mkdir -p \"$3/bin\" && printf '%s' %4 > \"$3/bin/python\" && chmod 755 \"$3/bin/python\"\n")
        .arg(appendArgsLines(ws.path(QStringLiteral("system-runs.log"))), pause, QString::number(venvStatus),
             shellQuote(managed)));
}

QList<QStringList> recordedRuns(const QString& file)
{
    QList<QStringList> out{{}};
    for (const QString& line : readRecordedArgs(file)) {
        if (line == QLatin1String("--"))
            out.append(QStringList());
        else
            out.last() << line;
    }
    out.removeLast();
    return out;
}

struct DemucsInstall : ::testing::Test {
    void SetUp() override
    {
        profile = makeTestProfile(ws);
        supportFolder = ws.path(QStringLiteral("home/.local/share/Stemloft"));
        environmentFolder = supportFolder + QStringLiteral("/demucs-env");
        managedPython = environmentFolder + QStringLiteral("/bin/python");
        systemPython = ws.path(QStringLiteral("opt/homebrew/bin/python3.12"));
    }

    // A launched window once its background check of the environment answered.
    std::unique_ptr<TestApp> launch()
    {
        auto app = makeApp(profile);
        EXPECT_TRUE(waitUntil([&] { return !app->isCheckingDemucs(); }));
        return app;
    }

    // Waits for the rebuild question and answers it with the button named so;
    // returns the question's text.
    QString answerRebuild(const TestApp& app, const QString& button)
    {
        QMessageBox* box = nullptr;
        EXPECT_TRUE(waitUntil([&] { return (box = visibleMessageBox(app, rebuildTitle)) || !app.isBusy(); }));
        if (!box)
            return {};
        const QString text = box->informativeText();
        messageBoxButton(box, button)->click();
        return text;
    }

    const QString rebuildTitle = QStringLiteral("Rebuild Demucs Environment?");
    TempWorkspace ws;
    PlatformProfile profile;
    QString supportFolder, environmentFolder, managedPython, systemPython;
};

}  // namespace

TEST(DemucsCommand, QuotedWordsReachTheShellWholeAndAFailingStepStopsTheChain)
{
    EXPECT_EQ(demucs::shellQuoted(QStringLiteral("/Volumes/My Disk/it's/python")),
              QStringLiteral("'/Volumes/My Disk/it'\\''s/python'"));

    TempWorkspace ws;
    const QString system = ws.path(QStringLiteral("py thon/it's/python3"));
    const QString env = ws.path(QStringLiteral("sup port/it's  env/demucs-env"));
    writeSystemPython(ws, QStringLiteral("py thon/it's/python3"));
    const QString command = demucs::installCommandString(system, env, env + QStringLiteral("/bin/python"));
    const SyncRunResult ok = runSync(QStringLiteral("/bin/sh"), {QStringLiteral("-lc"), command});
    ASSERT_TRUE(ok.launched);
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(recordedRuns(ws.path(QStringLiteral("system-runs.log"))),
              QList<QStringList>({{"-m", "venv", env}}));
    const QString pipStart = QStringLiteral("-m pip install --disable-pip-version-check ");
    // The seeded pip may be too old for "--progress-bar=raw"; only the upgraded one gets it.
    EXPECT_EQ(recordedRuns(ws.path(QStringLiteral("managed-runs.log"))),
              QList<QStringList>({(pipStart + "--upgrade pip").split(' '),
                                  (pipStart + "--progress-bar=raw --upgrade torch==2.5.1 torchaudio==2.5.1 "
                                              "soundfile demucs==4.0.1").split(' ')}));

    TempWorkspace failing;
    writeSystemPython(failing, QStringLiteral("python3"), 3);
    const SyncRunResult failed = runSync(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-lc"), demucs::installCommandString(failing.path(QStringLiteral("python3")),
                                                             failing.path(QStringLiteral("env")),
                                                             failing.path(QStringLiteral("env/bin/python")))});
    EXPECT_EQ(failed.status, 3);
    EXPECT_FALSE(QFile::exists(failing.path(QStringLiteral("managed-runs.log"))));
}

TEST(DemucsCommand, TheLoginProfileCannotSetTheUsersPythonVariablesAgainButItsProxyApplies)
{
    TempWorkspace ws;
    QByteArray profileText = "export https_proxy=http://proxy.test:3128\n";
    for (const QString& name : demucs::userPythonVariables())
        profileText += "export " + name.toLatin1() + "=/user\n";
    ws.writeFile(QStringLiteral("home/.profile"), profileText);
    const QString python = ws.writeScript("python3", "env > " + shellQuote(ws.path("env.txt")) + "; exit 1");
    QProcessEnvironment launched = QProcessEnvironment::systemEnvironment();
    launched.insert(QStringLiteral("HOME"), ws.path(QStringLiteral("home")));
    const QString command = demucs::installCommandString(python, ws.path("env"), ws.path("env/bin/python"));
    ASSERT_EQ(runSync("/bin/sh", {"-lc", command}, demucs::pythonEnvironment(launched, QString())).status, 1);
    const QByteArray seen = "\n" + ws.readFile(QStringLiteral("env.txt"));
    EXPECT_TRUE(seen.contains("\nhttps_proxy=http://proxy.test:3128\n")) << seen.toStdString();
    for (const QString& name : demucs::userPythonVariables())
        EXPECT_FALSE(seen.contains("\n" + name.toLatin1() + "=")) << name.toStdString();
}

TEST_F(DemucsInstall, ReplacesAnIncompleteEnvironmentReportsSuccessAndIsThenInstalled)
{
    profile.demucsProgressIntervalMs = 100;
    writeSystemPython(ws, QStringLiteral("opt/homebrew/bin/python3.12"), 0, QStringLiteral("0.7"));
    ws.writeFile(QStringLiteral("home/.local/share/Stemloft/demucs-env/leftover"), "x");
    auto app = launch();
    EXPECT_EQ(app->installDemucsButton->text(), "Install Demucs");

    app->installDemucs();
    ASSERT_TRUE(app->isBusy());
    EXPECT_FALSE(app->installDemucsButton->isEnabled());
    EXPECT_EQ(answerRebuild(*app, "Rebuild"), "The Demucs environment at " + environmentFolder +
                                                  " failed its check: Its Python interpreter is missing. "
                                                  "Delete it and install again?");
    // The venv step pauses, so the start of the log can be read while it runs.
    ASSERT_TRUE(waitUntil([&] { return logLines(*app).size() >= 6 || !app->isBusy(); }));
    EXPECT_TRUE(app->isBusy());
    EXPECT_EQ(logLines(*app).mid(0, 6),
              QStringList({"Installing Demucs into managed Python environment...", environmentFolder,
                           "Removing incomplete Demucs environment...",
                           "Using Python: " + systemPython + " (3.12.4)",
                           "This can take several minutes on the first install.",
                           "Downloading PyTorch and Demucs dependencies. The PyTorch wheel is about 180 MB."}));
    EXPECT_FALSE(QFile::exists(environmentFolder + "/leftover"));
    EXPECT_EQ(app->stageLabel->text(), "Installing Demucs");

    ASSERT_TRUE(waitIdle(*app));
    const QStringList lines = logLines(*app);
    EXPECT_GE(lines.count(stillInstalling), 2);
    EXPECT_EQ(lines.mid(lines.size() - 2), QStringList({"Installed Demucs.", managedPython}));
    EXPECT_TRUE(lines.contains("Successfully installed pip"));  // the child's output is streamed in
    EXPECT_TRUE(app->installDemucsButton->isEnabled());
    EXPECT_EQ(app->installDemucsButton->text(), "Demucs Installed");
    EXPECT_EQ(app->stageLabel->text(), "Ready");
    ASSERT_TRUE(app->lastAlert);
    EXPECT_EQ(app->lastAlert->title, "Demucs Installed");
    EXPECT_EQ(app->lastAlert->text, "You can now separate reference audio into stems.");
    pumpEvents(350);
    EXPECT_EQ(logLines(*app).count(stillInstalling), lines.count(stillInstalling));  // no note after the end

    // A second press only recognises the installation.
    app->installDemucsButton->setText(QStringLiteral("Install Demucs"));
    const int alerts = app->alertCount;
    QFile::remove(ws.path(QStringLiteral("system-runs.log")));
    app->installDemucs();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app), lines + QStringList({"Demucs is already installed.", managedPython}));
    EXPECT_EQ(app->installDemucsButton->text(), "Demucs Installed");
    EXPECT_EQ(app->alertCount, alerts + 1);
    EXPECT_EQ(app->lastAlert->title, "Demucs Already Installed");
    EXPECT_EQ(app->lastAlert->text, "You can separate stems without installing again.");
    EXPECT_FALSE(QFile::exists(ws.path(QStringLiteral("system-runs.log"))));  // no search for a Python

    EXPECT_EQ(launch()->installDemucsButton->text(), "Demucs Installed");
}

TEST_F(DemucsInstall, FailedStepsAndAnEnvironmentThatFailsItsCheckAfterPipAreReported)
{
    writeSystemPython(ws, QStringLiteral("opt/homebrew/bin/python3.12"), 7);
    auto app = launch();
    app->installDemucs();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "Demucs install failed with exit code 7.");
    ASSERT_TRUE(app->lastAlert);
    EXPECT_EQ(app->lastAlert->title, "Demucs Install Failed");
    EXPECT_EQ(app->lastAlert->text, "Demucs install failed with exit code 7.");
    EXPECT_EQ(app->lastAlert->severity, Alert::Severity::warning);
    EXPECT_EQ(app->installDemucsButton->text(), "Install Demucs");
    EXPECT_TRUE(app->startButton->isEnabled());
    EXPECT_FALSE(QFile::exists(ws.path(QStringLiteral("managed-runs.log"))));

    // pip killed by the kernel: the shell lives on and exits 128 + 9.
    writeSystemPython(ws, QStringLiteral("opt/homebrew/bin/python3.12"), 0, QStringLiteral("0"),
                      QStringLiteral("kill -9 $$"));
    app->installDemucs();
    ASSERT_TRUE(waitIdle(*app));
    const QString killed =
        "The Demucs installation was stopped by signal 9 (SIGKILL). The system may have run out of memory.";
    EXPECT_EQ(logLines(*app).last(), killed);
    EXPECT_EQ(app->lastAlert->text, killed);

    // pip succeeds, but what it installed does not import: not installed.
    writeSystemPython(ws, QStringLiteral("opt/homebrew/bin/python3.12"), 0, QStringLiteral("0"),
                      QStringLiteral("echo 'Successfully installed torch-2.5.1'; exit 0"));
    app->installDemucs();
    ASSERT_TRUE(waitIdle(*app));
    const QString failedCheck = "The new Demucs environment failed its check: The check exited with status 1.";
    const QStringList lines = logLines(*app);
    EXPECT_EQ(lines.mid(lines.size() - 2),
              QStringList({"The Demucs environment check failed: The check exited with status 1.", failedCheck}));
    EXPECT_EQ(app->lastAlert->title, "Demucs Install Failed");
    EXPECT_EQ(app->lastAlert->text, failedCheck);
    EXPECT_EQ(app->installDemucsButton->text(), "Install Demucs");
    EXPECT_FALSE(QFileInfo::exists(environmentFolder));  // it never worked
}

TEST_F(DemucsInstall, AnEnvironmentThatNeverPassedItsCheckGoesWithoutAQuestion)
{
    const QString marker = DemucsInstallJob::buildingMarker(environmentFolder);
    // pip refuses: what venv built goes, and so does the marker.
    writeSystemPython(ws, QStringLiteral("opt/homebrew/bin/python3.12"), 0, QStringLiteral("0"),
                      QStringLiteral("echo 'ERROR: No matching distribution found for torch==2.5.1' >&2; exit 1"));
    auto app = launch();
    app->installDemucs();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(app->lastAlert->text, "Demucs install failed with exit code 1.");
    ASSERT_TRUE(QFile::exists(ws.path(QStringLiteral("managed-runs.log"))));  // venv had built it
    EXPECT_FALSE(QFileInfo::exists(environmentFolder));
    EXPECT_FALSE(QFileInfo::exists(marker));

    writeSystemPython(ws, QStringLiteral("opt/homebrew/bin/python3.12"));
    app->installDemucs();
    EXPECT_EQ(answerRebuild(*app, "Cancel"), QString());
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(app->lastAlert->title, "Demucs Installed");

    // Once it passed its check, it is asked about when it breaks.
    QFile::remove(environmentFolder + "/installed");
    app->installDemucs();
    EXPECT_NE(answerRebuild(*app, "Cancel"), QString());
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "The Demucs environment was left as it is.");

    // A killed install left its marker and half an environment: removed unasked.
    ws.writeFile(QStringLiteral("home/.local/share/Stemloft/demucs-env.incomplete"), "");
    ws.writeFile(QStringLiteral("home/.local/share/Stemloft/demucs-env/lib/half-a-wheel"), "x");
    app->installDemucs();
    EXPECT_EQ(answerRebuild(*app, "Cancel"), QString());
    ASSERT_TRUE(waitIdle(*app));
    const QStringList lines = logLines(*app);
    EXPECT_EQ(lines.value(2), "Removing incomplete Demucs environment...");
    EXPECT_EQ(lines.value(lines.size() - 2), "Installed Demucs.");
    EXPECT_FALSE(QFileInfo::exists(environmentFolder + "/lib/half-a-wheel"));
}

TEST_F(DemucsInstall, ABrokenEnvironmentIsDeletedOnlyWhenTheUserSaysSo)
{
    writeSystemPython(ws, QStringLiteral("opt/homebrew/bin/python3.12"));
    ws.writeScript(QStringLiteral("home/.local/share/Stemloft/demucs-env/bin/python"),
                   QStringLiteral("echo 'Traceback (most recent call last):'\n"
                                  "echo '  File \"<string>\", line 1, in <module>' >&2\n"
                                  "echo \"ModuleNotFoundError: No module named 'torch'\" >&2\nexit 1"));
    ws.writeFile(QStringLiteral("home/.local/share/Stemloft/demucs-env/lib/big-wheel"), "gigabytes");
    auto app = launch();
    const auto before = sepfix::folderSnapshot(environmentFolder);
    const QStringList reasonLines = {"The Demucs environment check failed:", "Traceback (most recent call last):",
                                     "File \"<string>\", line 1, in <module>",
                                     "ModuleNotFoundError: No module named 'torch'"};
    EXPECT_EQ(logLines(*app).mid(logLines(*app).size() - 4), reasonLines);  // the launch check says why
    const int alerts = app->alertCount;

    app->installDemucs();
    EXPECT_EQ(answerRebuild(*app, "Cancel"),
              "The Demucs environment at " + environmentFolder +
                  " failed its check: ModuleNotFoundError: No module named 'torch'. Delete it and install again?");
    ASSERT_TRUE(waitIdle(*app));
    QStringList lines = logLines(*app);
    EXPECT_EQ(lines.mid(lines.size() - 5), reasonLines + QStringList{"The Demucs environment was left as it is."});
    EXPECT_EQ(sepfix::folderSnapshot(environmentFolder), before);
    EXPECT_EQ(app->alertCount, alerts);
    EXPECT_EQ(app->installDemucsButton->text(), "Install Demucs");

    // Stop while the question is open: it goes, and so does the job, nothing else.
    app->installDemucs();
    ASSERT_TRUE(waitUntil([&] { return visibleMessageBox(*app, rebuildTitle) != nullptr; }));
    app->stopCurrentJob();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(visibleMessageBox(*app, rebuildTitle), nullptr);
    EXPECT_EQ(logLines(*app).last(), "Stopped.");
    EXPECT_EQ(sepfix::folderSnapshot(environmentFolder), before);
    EXPECT_FALSE(QFile::exists(ws.path(QStringLiteral("system-runs.log"))));  // venv never ran

    app->installDemucs();
    answerRebuild(*app, "Rebuild");
    ASSERT_TRUE(waitIdle(*app));
    lines = logLines(*app);
    EXPECT_EQ(lines.mid(lines.size() - 2), QStringList({"Installed Demucs.", managedPython}));
    EXPECT_FALSE(QFile::exists(environmentFolder + "/lib/big-wheel"));
}

TEST_F(DemucsInstall, TheCpuBuildComesUnlessAnNvidiaDriverIsLoaded)
{
    writeSystemPython(ws, QStringLiteral("opt/homebrew/bin/python3.12"));
    const QString runs = ws.path(QStringLiteral("managed-runs.log"));
    const auto install = [&] {
        QDir(environmentFolder).removeRecursively();
        QFile::remove(runs);
        auto app = launch();
        app->installDemucs();
        EXPECT_TRUE(waitIdle(*app));
        EXPECT_EQ(app->installDemucsButton->text(), "Demucs Installed");
        // The package step: the second pip run.
        return std::make_pair(logLines(*app).at(4), recordedRuns(runs).value(1).join(' '));
    };
    const QString packages = "--upgrade torch==2.5.1 torchaudio==2.5.1 soundfile demucs==4.0.1";

    auto [sizeLine, pip] = install();
    EXPECT_EQ(sizeLine, "Downloading PyTorch and Demucs dependencies. The PyTorch wheel is about 180 MB.");
    EXPECT_TRUE(pip.endsWith("--progress-bar=raw --extra-index-url https://download.pytorch.org/whl/cpu " + packages))
        << pip.toStdString();

    ws.writeFile(QStringLiteral("proc/driver/nvidia/version"), "NVRM version: NVIDIA UNIX x86_64 Kernel Module");
    std::tie(sizeLine, pip) = install();
    EXPECT_EQ(sizeLine, "Downloading PyTorch and Demucs dependencies. The PyTorch wheel is over 3 GB "
                        "(the CUDA build, for your NVIDIA GPU).");
    EXPECT_TRUE(pip.endsWith("--progress-bar=raw " + packages)) << pip.toStdString();

    // The upgrade of pip itself never gets the extra index.
    EXPECT_FALSE(recordedRuns(runs).value(0).contains("--extra-index-url"));
}

TEST(DemucsPlatform, MacKeepsItsTextsAndIndexLinuxGetsItsOwnAdvice)
{
    const PlatformProfile mac = PlatformProfile::forSystem(PlatformProfile::System::macOS, "arm64");
    EXPECT_EQ(mac.pythonNotFoundMessage, "Install Python 3.12 with Homebrew or from python.org, then try again.");
    // uv's release assets, as its release workflow names them.
    EXPECT_EQ(mac.uvDownloadURL(),
              "https://github.com/astral-sh/uv/releases/latest/download/uv-aarch64-apple-darwin.tar.gz");
    EXPECT_EQ(mac.rebuildAdvice, "Click Install Demucs to rebuild it with Python 3.12.");
    EXPECT_TRUE(demucs::packageSource(mac, false).pipOptions.isEmpty());
    EXPECT_EQ(demucs::packageSource(mac, false).wheelSize, "about 64 MB");

    const PlatformProfile intel = PlatformProfile::forSystem(PlatformProfile::System::linuxOS, "x86_64");
    EXPECT_EQ(intel.rebuildAdvice, "Click Install Demucs to rebuild it.");
    EXPECT_EQ(intel.nvidiaDriverFile, "/proc/driver/nvidia/version");
    EXPECT_TRUE(intel.uvDownloadURL().endsWith("/uv-x86_64-unknown-linux-gnu.tar.gz"));
    // Linux on ARM: the default index has no CUDA build to avoid.
    const PlatformProfile arm = PlatformProfile::forSystem(PlatformProfile::System::linuxOS, "arm64");
    EXPECT_TRUE(demucs::packageSource(arm, false).pipOptions.isEmpty());
}

TEST_F(DemucsInstall, GuardsRefuseWithoutClearingTheLog)
{
    profile.uvTarget.clear();  // no uv for this machine
    auto app = launch();
    const QStringList atLaunch = logLines(*app);

    // No usable Python and none to install: the message is appended and shown.
    const QString notFound = QStringLiteral(
        "No Python 3.9 to 3.12 with the venv module was found. Install Python 3.12 (for example `sudo apt install "
        "python3.12-venv` where your distribution has it), then try again.");
    app->installDemucs();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app), atLaunch + QStringList{notFound});
    ASSERT_TRUE(app->lastAlert);
    EXPECT_EQ(app->lastAlert->title, "Demucs Install Failed");
    EXPECT_EQ(app->lastAlert->text, notFound);

    // Another task running: one line, nothing else.
    writeSystemPython(ws, QStringLiteral("opt/homebrew/bin/python3.12"));
    app->runJob(new HoldJob);
    const int alerts = app->alertCount;
    app->installDemucs();
    EXPECT_EQ(logLines(*app), atLaunch + QStringList({notFound, "Another task is already running."}));
    app->stopCurrentJob();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(app->alertCount, alerts);
    EXPECT_FALSE(QFile::exists(ws.path(QStringLiteral("system-runs.log"))));

    // A support folder that cannot be created: reported before the log is cleared.
    QDir(ws.path(QStringLiteral("home/.local/share/Stemloft"))).removeRecursively();  // run logs went there
    ws.writeFile(QStringLiteral("home/.local/share/Stemloft"), "a file where the folder goes");
    app->installDemucs();
    ASSERT_TRUE(waitIdle(*app));
    const QStringList lines = logLines(*app);
    EXPECT_EQ(lines.mid(0, atLaunch.size()), atLaunch);
    EXPECT_TRUE(lines.last().startsWith("Failed to start Demucs install: ")) << lines.last().toStdString();
    EXPECT_EQ(app->alertCount, alerts);
    EXPECT_TRUE(app->installDemucsButton->isEnabled());
}

TEST_F(DemucsInstall, LaunchFailureUndoesTheStartAndLeavesNoEnvironment)
{
    profile.loginShell = ws.path(QStringLiteral("missing/zsh"));
    profile.demucsProgressIntervalMs = 50;
    writeSystemPython(ws, QStringLiteral("opt/homebrew/bin/python3.12"));
    ws.makeDir(QStringLiteral("home/.local/share/Stemloft/demucs-env/bin"));
    auto app = launch();
    const int alerts = app->alertCount;

    app->installDemucs();
    answerRebuild(*app, "Rebuild");
    ASSERT_TRUE(waitIdle(*app));
    const QStringList lines = logLines(*app);
    ASSERT_EQ(lines.size(), 7);
    EXPECT_EQ(lines[2], "Removing incomplete Demucs environment...");
    EXPECT_EQ(lines[5], "Downloading PyTorch and Demucs dependencies. The PyTorch wheel is about 180 MB.");
    EXPECT_TRUE(lines[6].startsWith("Failed to start Demucs install: ")) << lines[6].toStdString();
    EXPECT_GT(lines[6].size(), QStringLiteral("Failed to start Demucs install: ").size());
    EXPECT_FALSE(QFileInfo::exists(environmentFolder));
    EXPECT_TRUE(app->installDemucsButton->isEnabled());
    EXPECT_EQ(app->alertCount, alerts);
    pumpEvents(200);
    EXPECT_EQ(logLines(*app), lines);  // no note timer left running
}

TEST_F(DemucsInstall, StopRemovesTheEnvironmentAndEveryProcessOfTheInstall)
{
    // The package step records its own id and a grandchild's, and waits.
    const QString pids = ws.path(QStringLiteral("pids"));
    writeSystemPython(ws, QStringLiteral("opt/homebrew/bin/python3.12"), 0, QStringLiteral("0"),
                      QStringLiteral("sleep 1000 & echo $$ $! > %1; wait").arg(shellQuote(pids)));
    // An environment that worked at launch and has broken since.
    ASSERT_EQ(runSync(systemPython, {"-m", "venv", environmentFolder}).status, 0);
    ws.writeFile(QStringLiteral("home/.local/share/Stemloft/demucs-env/installed"), "");
    auto app = launch();
    ASSERT_EQ(app->installDemucsButton->text(), "Demucs Installed");
    QFile::remove(environmentFolder + "/installed");

    app->installDemucs();
    answerRebuild(*app, "Rebuild");
    ASSERT_TRUE(waitUntil([&] { return ws.readFile(pids).split(' ').size() == 2 || !app->isBusy(); }));
    ASSERT_TRUE(app->isBusy()) << logText(*app).toStdString();
    // The login shell too: the only child of this process now.
    QList<qint64> processes = childProcesses(QCoreApplication::applicationPid());
    ASSERT_FALSE(processes.isEmpty());
    for (const QByteArray& pid : ws.readFile(pids).trimmed().split(' '))
        processes << pid.toLongLong();
    for (qint64 pid : processes)
        ASSERT_TRUE(processAlive(pid)) << pid;
    ASSERT_TRUE(QFile::exists(managedPython));
    const QString marker = DemucsInstallJob::buildingMarker(environmentFolder);
    EXPECT_TRUE(QFileInfo::exists(marker));  // what a kill -9 now would leave
    const int alerts = app->alertCount;

    app->stopButton->click();
    ASSERT_TRUE(waitIdle(*app));
    for (qint64 pid : processes)
        EXPECT_FALSE(processAlive(pid)) << pid;
    EXPECT_FALSE(QFileInfo::exists(environmentFolder));
    EXPECT_FALSE(QFileInfo::exists(marker));
    EXPECT_EQ(app->installDemucsButton->text(), "Install Demucs");
    EXPECT_TRUE(app->installDemucsButton->isEnabled());
    EXPECT_EQ(logLines(*app).last(), "Stopped.");
    EXPECT_EQ(app->alertCount, alerts);
    EXPECT_EQ(app->stageLabel->text(), "Ready");
}

TEST_F(DemucsInstall, ALaunchCheckThatDoesNotAnswerInTimeCountsAsNotInstalled)
{
    profile.probeTimeLimitMs = 300;
    const QString pidFile = ws.path(QStringLiteral("probe.pid"));
    // It would pass the check if it were waited for.
    ws.writeScript(QStringLiteral("home/.local/share/Stemloft/demucs-env/bin/python"),
                   QStringLiteral("echo $$ > %1\nsleep 120\nexit 0").arg(shellQuote(pidFile)));
    auto app = makeApp(profile);
    EXPECT_TRUE(app->isCheckingDemucs());
    EXPECT_TRUE(app->window->isVisible());  // shown without waiting for the answer

    ASSERT_TRUE(waitUntil([&] { return !app->isCheckingDemucs(); }));
    EXPECT_EQ(app->installDemucsButton->text(), "Install Demucs");
    EXPECT_EQ(logLines(*app).last(), "The Demucs environment check did not answer within 0.3 s.");
    const qint64 pid = ws.readFile(pidFile).trimmed().toLongLong();
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(processAlive(pid));
}

namespace {

// No Python on the search's paths; uv's release is served by a curl that
// copies from a folder, and its uv copies a stand-in Python in.
struct ManagedPythonInstall : DemucsInstall {
    void SetUp() override
    {
        DemucsInstall::SetUp();
        profile.ytDlpProgressIntervalMs = 50;
        served = ws.makeDir(QStringLiteral("served"));
        ws.writeScript(QStringLiteral("tools/curl"),
                       QStringLiteral("echo \"$5\" >> %1\nf=%2/$(basename \"$5\")\n"
                                      "[ -e \"$f\" ] || { echo 'curl: (22) The requested URL returned error: 404' >&2; "
                                      "exit 22; }\ncp \"$f\" \"$7\"")
                           .arg(shellQuote(ws.path(QStringLiteral("curl-urls"))), shellQuote(served)));
        standInPython = writeSystemPython(ws, QStringLiteral("stand-in/python"));
        managed = supportFolder + QStringLiteral("/python/cpython-3.12.4-linux-x86_64-gnu/bin/python3.12");
    }
    QString serveUv(const QString& installStep = {})
    {
        return writeUvRelease(served, profile.uvTarget,
                              fakeUvScript(standInPython, ws.path(QStringLiteral("uv-runs")), installStep));
    }
    // What the install may leave in the support folder: only ever uv and
    // Python themselves, once installed.
    QStringList supportEntries() const
    {
        return QDir(supportFolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }

    QString served, standInPython, managed;
    const QString advice = QStringLiteral(
        "Install Python 3.12 (for example `sudo apt install python3.12-venv` where your distribution has it), "
        "then try again.");
};

}  // namespace

TEST_F(ManagedPythonInstall, InstallsAPythonOfItsOwnWhereNoneFitsAndKeepsItForARebuild)
{
    serveUv();
    // The user's own uv and its settings take no part.
    ws.writeScript(QStringLiteral("pathbin/uv"), QStringLiteral("touch ") + shellQuote(ws.path("user-uv-ran")));
    profile.appEnvironment.insert(QStringLiteral("UV_INDEX"), QStringLiteral("https://user.example/simple"));
    auto app = launch();
    app->installDemucs();
    ASSERT_TRUE(waitIdle(*app));

    const QStringList lines = logLines(*app);
    const qsizetype first =
        lines.indexOf("No Python 3.9 to 3.12 was found; installing Python 3.12 for Stemloft (about 35 MB)...");
    ASSERT_GE(first, 0) << logText(*app).toStdString();
    EXPECT_EQ(lines.mid(first + 1, 2), QStringList({"Verified SHA-256.", "Python installed: " + managed}));
    EXPECT_TRUE(lines.contains("Using Python: " + managed + " (3.12.4)"));
    EXPECT_TRUE(lines.contains("Downloading PyTorch and Demucs dependencies. The PyTorch wheel is about 180 MB, "
                               "after about 35 MB for Python 3.12."));
    EXPECT_EQ(lines.mid(lines.size() - 2), QStringList({"Installed Demucs.", managedPython}));
    EXPECT_EQ(app->installDemucsButton->text(), "Demucs Installed");

    EXPECT_EQ(readRecordedArgs(ws.path("curl-urls")),
              QStringList({profile.uvDownloadURL(), profile.uvDownloadURL() + ".sha256"}));
    const QString uvSettings = " | 1 " + supportFolder + "/python ";
    EXPECT_EQ(readRecordedArgs(ws.path("uv-runs")),
              QStringList({"python install 3.12" + uvSettings, "python find 3.12" + uvSettings}));
    EXPECT_FALSE(QFile::exists(ws.path("user-uv-ran")));
    // Only the one program came out of the archive; the downloads are gone.
    EXPECT_EQ(supportEntries(), QStringList({"demucs-env", "logs", "python", "uv"}));

    // A rebuild builds from the same Python: nothing is downloaded again.
    // What an install killed on the way left goes with it.
    QFile::remove(environmentFolder + "/installed");
    ws.writeFile("home/.local/share/Stemloft/uv-cache/python/tmp1/download", "part");
    ws.writeFile("home/.local/share/Stemloft/python/.temp/tmp2/lib/os.py", "part");
    ws.writeFile("home/.local/share/Stemloft/uv.tar.gz.download", "part");
    app->installDemucs();
    answerRebuild(*app, "Rebuild");
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_TRUE(logLines(*app).contains("Using Python: " + managed + " (3.12.4)")) << logText(*app).toStdString();
    EXPECT_EQ(logLines(*app).last(), managedPython);
    EXPECT_EQ(readRecordedArgs(ws.path("curl-urls")).size(), 2);
    EXPECT_EQ(readRecordedArgs(ws.path("uv-runs")).size(), 2);
    EXPECT_EQ(supportEntries(), QStringList({"demucs-env", "logs", "python", "uv"}));
    EXPECT_FALSE(QFile::exists(supportFolder + "/python/.temp"));

    cli::StatusReport status(app->tools());
    bool reported = false;
    QObject::connect(&status, &cli::StatusReport::finished, [&] { reported = true; });
    status.start();
    ASSERT_TRUE(waitUntil([&] { return reported; }));
    EXPECT_TRUE(status.lines().contains("Python: " + managed + " (3.12.4, installed by Stemloft)"))
        << status.lines().join('\n').toStdString();
}

TEST_F(ManagedPythonInstall, AFailedStepIsNamedAndNothingOfTheInstallStays)
{
    struct Case {
        QString reason;
        std::function<void()> serve;
    };
    const Case cases[] = {
        {"The download did not match its published checksum.",
         [&] {
             const QString archive = serveUv();
             ws.writeFile("served/" + QFileInfo(archive).fileName() + ".sha256", QByteArray(64, 'a') + "  uv.tar.gz\n");
         }},
        {"The downloaded archive has no uv program in it.",
         [&] {
             ws.writeFile("other/readme", "not uv");
             runSync("/bin/sh", {"-c", "tar -czf " + shellQuote(served + "/uv-" + profile.uvTarget + ".tar.gz") +
                                           " -C " + shellQuote(ws.path("other")) + " readme && cd " + shellQuote(served) +
                                           " && sha256sum uv-*.tar.gz > uv-" + profile.uvTarget + ".tar.gz.sha256"});
         }},
        {"uv python install failed with exit code 2.",
         [&] {
             // As far as a real uv gets before it fails: part of the download, part of Python.
             serveUv("  mkdir -p \"$UV_PYTHON_INSTALL_DIR/.temp\" \"$UV_PYTHON_CACHE_DIR\"; echo part > "
                     "\"$UV_PYTHON_CACHE_DIR/download\"\n  echo 'error: Failed to install cpython-3.12.4' >&2; exit 2");
         }},
    };
    auto app = launch();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason.toStdString());
        c.serve();
        app->installDemucs();
        ASSERT_TRUE(waitIdle(*app));
        const QString message = "Python could not be installed: " + c.reason + " " + advice;
        EXPECT_EQ(logLines(*app).last(), message);
        ASSERT_TRUE(app->lastAlert);
        EXPECT_EQ(app->lastAlert->title, "Demucs Install Failed");
        EXPECT_EQ(app->lastAlert->text, message);
        EXPECT_EQ(supportEntries(), QStringList{"logs"});
        EXPECT_EQ(app->installDemucsButton->text(), "Install Demucs");
    }
    EXPECT_TRUE(logLines(*app).contains("error: Failed to install cpython-3.12.4"));
}

TEST_F(ManagedPythonInstall, StopDuringThePythonStepRemovesTheHalfInstalledPython)
{
    serveUv("  mkdir -p \"$UV_PYTHON_INSTALL_DIR/.temp/x\" \"$UV_PYTHON_CACHE_DIR/tmp1\"\n"
            "  head -c 200000 /dev/zero > \"$UV_PYTHON_CACHE_DIR/tmp1/download\"\n  exec sleep 1000");
    auto app = launch();
    app->installDemucs();
    // uv's download is counted as it grows, like curl's.
    ASSERT_TRUE(waitUntil([&] { return logLines(*app).contains("Downloaded 200 KB..."); }))
        << logText(*app).toStdString();
    EXPECT_EQ(app->stageLabel->text(), "Installing Python: 200 KB");
    app->stopButton->click();
    ASSERT_TRUE(waitIdle(*app));
    EXPECT_EQ(logLines(*app).last(), "Stopped.");
    EXPECT_EQ(supportEntries(), QStringList{"logs"});
    EXPECT_FALSE(QFile::exists(managed));
}
