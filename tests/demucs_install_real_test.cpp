// The Demucs installer against the real login shell, venv and pip, with a
// local folder of stand-in wheels (nothing reaches the internet), then
// separations with the stand-in packages and the real ffmpeg.
#include "cli/Runner.h"
#include "demucs/DemucsEnvironment.h"
#include "demucs/PythonProbes.h"
#include "process/CpuCores.h"
#include "separation_fixtures.h"
#include "support/AppSupport.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <gtest/gtest.h>

#include <iostream>

namespace {

// Prints the newest pip wheel of version 24.1 or later found on this machine.
const char* findPipWheel = R"PY(
import glob, os, re
roots = ["/usr/share/python-wheels", "/usr/lib/python3*/ensurepip/_bundled",
         "/usr/local/lib/python3*/ensurepip/_bundled",
         os.path.expanduser("~/.pyenv/versions/*/lib/python3*/ensurepip/_bundled"),
         "/root/.pyenv/versions/*/lib/python3*/ensurepip/_bundled"]
best = None
for root in roots:
    for path in glob.glob(os.path.join(root, "pip-*-py3-none-any.whl")):
        m = re.match(r"pip-(\d+)\.(\d+)", os.path.basename(path))
        version = (int(m.group(1)), int(m.group(2))) if m else (0, 0)
        if version >= (24, 1) and (best is None or version > best[0]):
            best = (version, path)
if best:
    print(best[1])
)PY";

// Writes wheels of small modules that satisfy the compatibility probe:
// torchaudio really writes and reads a WAV file; torch reports the device
// STANDIN_DEVICE names. demucs.separate takes Demucs's command line, fetches
// the model's weights into TORCH_HOME from STANDIN_WEIGHTS (a folder; without
// it the fetch fails as without a network), fails on "-d mps" when
// STANDIN_MPS_FAILS is set, and hands the input back as every stem. Each run
// appends its arguments and PYTORCH_ENABLE_MPS_FALLBACK to STANDIN_RUNS.
const char* buildWheels = R"PY(
import base64, hashlib, os, sys, zipfile
out = sys.argv[1]
TORCH = '''import os
__version__ = "2.5.1"
class Tensor:
    def __init__(self, shape):
        self.shape = tuple(shape)
def zeros(*shape):
    return Tensor(shape)
class _Query:
    def __init__(self, name):
        self.name = name
    def is_available(self):
        return os.environ.get("STANDIN_DEVICE") == self.name
class _Backends:
    mps = _Query("mps")
cuda = _Query("cuda")
backends = _Backends()
'''
SEPARATE = '''import argparse, os, shutil, sys
WEIGHTS = {"htdemucs": ["955717e8-8726e21a.th"], "htdemucs_6s": ["5c90dfd2-34c22ccb.th"]}
STEMS = {"htdemucs": ["vocals", "drums", "bass", "other"],
         "htdemucs_6s": ["vocals", "drums", "bass", "other", "guitar", "piano"]}
parser = argparse.ArgumentParser()
parser.add_argument("-n", "--name", default="htdemucs")
parser.add_argument("-o", "--out", default="separated")
parser.add_argument("--filename", default="{track}/{stem}.{ext}")
parser.add_argument("-d", "--device", default="cpu")
parser.add_argument("tracks", nargs="+")
args = parser.parse_args()
with open(os.environ["STANDIN_RUNS"], "a") as runs:
    runs.write(" ".join(sys.argv[1:]) + " fallback=" + os.environ.get("PYTORCH_ENABLE_MPS_FALLBACK", "") + "\\n")
checkpoints = os.path.join(os.environ.get("TORCH_HOME", os.path.expanduser("~/.cache/torch")), "hub", "checkpoints")
for name in WEIGHTS[args.name]:
    target = os.path.join(checkpoints, name)
    if not os.path.exists(target):
        source = os.environ.get("STANDIN_WEIGHTS")
        if not source:
            sys.exit("urllib.error.URLError: <urlopen error [Errno -3] Temporary failure in name resolution>")
        os.makedirs(checkpoints, exist_ok=True)
        shutil.copy(os.path.join(source, name), target)
if args.device == "mps" and os.environ.get("STANDIN_MPS_FAILS"):
    sys.exit("NotImplementedError: The operator is not currently implemented for the MPS device.")
for track in args.tracks:
    folder = os.path.join(args.out, args.name)
    os.makedirs(folder, exist_ok=True)
    for stem in STEMS[args.name]:
        shutil.copy(track, os.path.join(folder, args.filename.format(stem=stem, ext="wav", track="t")))
'''
TORCHAUDIO = '''import wave
import torch
__version__ = "2.5.1"
def save(path, tensor, sample_rate):
    channels, frames = tensor.shape
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(sample_rate)
        w.writeframes(bytes(2 * channels * frames))
def load(path):
    with wave.open(path, "rb") as w:
        return torch.zeros(w.getnchannels(), w.getnframes()), w.getframerate()
'''
def wheel(name, version, files):
    dist = f"{name}-{version}.dist-info"
    files = dict(files)
    files[f"{dist}/METADATA"] = f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n"
    files[f"{dist}/WHEEL"] = "Wheel-Version: 1.0\nGenerator: stemloft-tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    record = []
    for path, text in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(text.encode())}")
    files[f"{dist}/RECORD"] = "\n".join(record + [f"{dist}/RECORD,,"]) + "\n"
    with zipfile.ZipFile(os.path.join(out, f"{name}-{version}-py3-none-any.whl"), "w") as z:
        for path, text in files.items():
            z.writestr(path, text)
wheel("torch", "2.5.1", {"torch/__init__.py": TORCH})
wheel("torchaudio", "2.5.1", {"torchaudio/__init__.py": TORCHAUDIO})
wheel("soundfile", "0.12.1", {"soundfile.py": "__version__ = '0.12.1'\n"})
wheel("demucs", "4.0.1", {"demucs/__init__.py": "__version__ = '4.0.1'\n", "demucs/separate.py": SEPARATE})
)PY";

// Standard output of a script, or empty text when it fails.
QString runPython(const QString& python, const char* script, const QStringList& args = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(python, QStringList{QStringLiteral("-c"), QString::fromUtf8(script)} + args);
    if (!process.waitForStarted(-1) || !process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return {};
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The system Python the installer would pick, and its version text.
struct FoundPython {
    QString path;
    QString version;
};

std::optional<FoundPython> findSystemPython(const TestApp& app)
{
    demucs::PythonFinder finder(app.profile(), app.tools().processEnvironment());
    std::optional<QString> found;
    bool searched = false;
    QObject::connect(&finder, &demucs::PythonFinder::finished, [&](const std::optional<QString>& python, bool) {
        found = python;
        searched = true;
    });
    finder.start();
    EXPECT_TRUE(waitUntil([&] { return searched; }, 120000));
    if (!found)
        return std::nullopt;
    std::optional<QString> version;
    finder.describeVersion(*found, [&](const QString& text) { version = text; });
    EXPECT_TRUE(waitUntil([&] { return version.has_value(); }, 120000));
    return FoundPython{*found, version.value_or(QString())};
}

bool passesCompatibilityProbe(const TestApp& app)
{
    QObject owner;
    std::optional<demucs::ProbeAnswer> answer;
    demucs::probeManagedEnvironment(&owner, app.tools().managedDemucsPython(), app.tools().demucsEnvironment(),
                                    app.profile().probeTimeLimitMs,
                                    [&](const demucs::ProbeAnswer& a) { answer = a; });
    EXPECT_TRUE(waitUntil([&] { return answer.has_value(); }, 150000));
    return answer && answer->compatible;
}

// A launched window once its background check of the environment answered.
std::unique_ptr<TestApp> launch(const PlatformProfile& profile)
{
    auto app = makeApp(profile);
    EXPECT_TRUE(waitUntil([&] { return !app->isCheckingDemucs(); }, 150000));
    return app;
}

}  // namespace

TEST(DemucsInstallReal, BuildsTheEnvironmentWithVenvAndPipThroughTheLoginShell)
{
    QElapsedTimer clock;
    clock.start();
    TempWorkspace ws;
    PlatformProfile profile = makeTestProfile(ws);
    QProcessEnvironment env = profile.appEnvironment;
    for (const char* name : {"PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "PIP_INDEX_URL", "PIP_EXTRA_INDEX_URL",
                             "PIP_REQUIRE_VIRTUALENV", "PIP_USER"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin"));
    profile.appEnvironment = env;

    auto app = launch(profile);
    EXPECT_EQ(app->installDemucsButton->text(), "Install Demucs");
    const std::optional<FoundPython> found = findSystemPython(*app);
    if (!found)
        GTEST_SKIP() << "no Python 3.9 to 3.12 with venv and ensurepip in /usr/bin";

    const QString wheels = ws.makeDir(QStringLiteral("wheels"));
    const QString systemPython = found->path;
    const QString pip = runPython(systemPython, findPipWheel);
    if (pip.isEmpty())
        GTEST_SKIP() << "no pip wheel of version 24.1 or later on this machine for the pip upgrade";
    ASSERT_TRUE(QFile::copy(pip, wheels + QLatin1Char('/') + QFileInfo(pip).fileName()));
    runPython(systemPython, buildWheels, {wheels});
    ASSERT_TRUE(QFile::exists(wheels + QStringLiteral("/torchaudio-2.5.1-py3-none-any.whl")));

    env.insert(QStringLiteral("PIP_NO_INDEX"), QStringLiteral("1"));
    env.insert(QStringLiteral("PIP_FIND_LINKS"), wheels);
    // A user's own Python set-up must not reach the managed one: this torch
    // would fail every check it got into.
    ws.writeFile(QStringLiteral("shadow/torch/__init__.py"), "raise ImportError('the user torch')\n");
    env.insert(QStringLiteral("PYTHONPATH"), ws.path(QStringLiteral("shadow")));
    env.insert(QStringLiteral("VIRTUAL_ENV"), ws.path(QStringLiteral("shadow")));
    profile.appEnvironment = env;
    app = launch(profile);

    app->installDemucs();
    ASSERT_TRUE(app->isBusy()) << logText(*app).toStdString();
    ASSERT_TRUE(waitIdle(*app, 170000));
    const QStringList lines = logLines(*app);
    EXPECT_FALSE(found->version.isEmpty());
    EXPECT_TRUE(lines.contains("Using Python: " + systemPython + found->version)) << logText(*app).toStdString();
    EXPECT_TRUE(lines.contains("Downloading PyTorch and Demucs dependencies. The PyTorch wheel is about 180 MB."));
    ASSERT_EQ(lines.mid(lines.size() - 2), QStringList({"Installed Demucs.", app->tools().managedDemucsPython()}))
        << logText(*app).toStdString();
    EXPECT_EQ(app->installDemucsButton->text(), "Demucs Installed");
    EXPECT_TRUE(passesCompatibilityProbe(*app));

    EXPECT_EQ(launch(profile)->installDemucsButton->text(), "Demucs Installed");
    std::cout << "real install took " << clock.elapsed() << " ms" << std::endl;

    // Separations with the stand-in packages: the device torch reports, the
    // weights fetched into the support folder on first use, the Apple GPU
    // run that fails and its second run on the CPU.
    profile.converterPath = QStringLiteral("/usr/bin/ffmpeg");
    const QString runs = ws.path(QStringLiteral("separate-runs"));
    env.insert(QStringLiteral("STANDIN_RUNS"), runs);
    const QString audio = ws.path(QStringLiteral("song.wav"));
    ASSERT_TRUE(sepfix::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=1", audio}));
    const QString checkpoint = ws.path(QStringLiteral("home/.local/share/Stemloft/torch/hub/checkpoints/"
                                                      "5c90dfd2-34c22ccb.th"));
    const auto separate = [&](const QString& device, bool mpsFails, bool weightsReachable) {
        QProcessEnvironment e = env;
        e.insert(QStringLiteral("STANDIN_DEVICE"), device);
        if (mpsFails)
            e.insert(QStringLiteral("STANDIN_MPS_FAILS"), QStringLiteral("1"));
        if (weightsReachable)
            e.insert(QStringLiteral("STANDIN_WEIGHTS"), ws.path(QStringLiteral("weights")));
        profile.appEnvironment = e;
        QFile::remove(runs);
        auto window = launch(profile);
        window->folderField->setText(ws.path(QStringLiteral("save")));
        window->setLastAudioURL(audio);
        window->startSeparation();
        EXPECT_TRUE(waitIdle(*window, 120000));
        return window;
    };
    const QString firstUse = QStringLiteral("Downloading the htdemucs_6s model (first use)...");

    // No network: the first use fails with a hint, and the next run tries again.
    auto offline = separate(QStringLiteral("cpu"), false, false);
    QStringList log = logLines(*offline);
    const QString cpuLine = QStringLiteral("Device: CPU (%1 thread%2)")
                                .arg(cpu::usableCores())
                                .arg(cpu::usableCores() == 1 ? "" : "s");
    EXPECT_EQ(log.mid(1, 4), QStringList({"Input: " + audio, cpuLine, "This can take several minutes.", firstUse}))
        << logText(*offline).toStdString();
    const QString hint = "The htdemucs_6s model could not be downloaded. Check the internet connection and try again.";
    EXPECT_EQ(log.mid(log.size() - 2), QStringList({"Demucs failed with exit code 1.", "Hint: " + hint}));
    EXPECT_EQ(offline->lastAlert->title, "Stem Separation Failed");
    EXPECT_EQ(offline->lastAlert->text, "Demucs failed with exit code 1. " + hint);
    EXPECT_FALSE(QFile::exists(checkpoint));

    ws.writeFile(QStringLiteral("weights/5c90dfd2-34c22ccb.th"), "weights");
    auto gpu = separate(QStringLiteral("mps"), true, true);
    log = logLines(*gpu);
    EXPECT_EQ(log.mid(1, 2), QStringList({"Input: " + audio, "Device: Apple GPU (MPS)"}));
    EXPECT_TRUE(log.contains(firstUse));
    EXPECT_EQ(log.count("The Apple GPU run failed; trying again on the CPU."), 1) << logText(*gpu).toStdString();
    EXPECT_EQ(gpu->lastAlert->title, "Stem Separation Complete") << logText(*gpu).toStdString();
    const QStringList recorded = QString::fromUtf8(ws.readFile(QStringLiteral("separate-runs"))).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(recorded.size(), 2);
    EXPECT_TRUE(recorded[0].contains(" -d mps ") && recorded[0].endsWith(" fallback=1")) << recorded[0].toStdString();
    EXPECT_TRUE(recorded[1].contains(" -d cpu ")) << recorded[1].toStdString();
    EXPECT_EQ(ws.readFile(checkpoint), "weights");
    EXPECT_EQ(sepfix::probeAudio(ws.path(QStringLiteral("save/stems/song/piano.m4a"))).value("codec_name"), "aac");

    // The weights are there now; CUDA is Demucs's own choice, so no device argument.
    auto cuda = separate(QStringLiteral("cuda"), false, false);
    log = logLines(*cuda);
    EXPECT_EQ(log.mid(1, 3), QStringList({"Input: " + audio, "Device: NVIDIA GPU (CUDA)", "This can take several minutes."}));
    EXPECT_FALSE(log.contains(firstUse));
    EXPECT_EQ(cuda->lastAlert->title, "Stem Separation Complete") << logText(*cuda).toStdString();
    EXPECT_FALSE(ws.readFile(QStringLiteral("separate-runs")).contains(" -d "));
}

// Where no Python fits, uv installs one: the real curl and tar fetch a
// stand-in uv from a local server, whose "Python" is a link to this
// machine's own; venv and pip then build the environment from it with the
// stand-in wheels, from the window and from the command line.
TEST(DemucsInstallReal, WithoutAFittingPythonUvBringsOneAndTheInstallGoesOn)
{
    const QString machinePython = QStringLiteral("/usr/bin/python3");
    if (runPython(machinePython,
                  "import sys, venv, ensurepip; print((3, 9) <= sys.version_info[:2] <= (3, 12) or '')").isEmpty())
        GTEST_SKIP() << "the machine's python3 cannot stand in for Python 3.12";
    TempWorkspace ws;
    const QString wheels = ws.makeDir(QStringLiteral("wheels"));
    const QString pip = runPython(machinePython, findPipWheel);
    if (pip.isEmpty())
        GTEST_SKIP() << "no pip wheel of version 24.1 or later on this machine for the pip upgrade";
    ASSERT_TRUE(QFile::copy(pip, wheels + QLatin1Char('/') + QFileInfo(pip).fileName()));
    runPython(machinePython, buildWheels, {wheels});

    // The search's places are empty folders; PATH holds nothing either.
    PlatformProfile profile = makeTestProfile(ws);
    profile.curlPath = QStringLiteral("/usr/bin/curl");
    profile.tarPath = QStringLiteral("/usr/bin/tar");
    const QString served = ws.makeDir(QStringLiteral("served"));
    ASSERT_FALSE(writeUvRelease(served, profile.uvTarget,
                                fakeUvScript(machinePython, ws.path(QStringLiteral("uv-runs")), {}, true))
                     .isEmpty());
    LocalServer server(served);
    ASSERT_GT(server.port(), 0);
    profile.uvDownloadBase = server.url(QString());
    QProcessEnvironment& env = profile.appEnvironment;
    LocalServer::removeProxies(env);
    for (const char* name : {"PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "PIP_INDEX_URL", "PIP_EXTRA_INDEX_URL",
                             "PIP_REQUIRE_VIRTUALENV", "PIP_USER"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("PIP_NO_INDEX"), QStringLiteral("1"));
    env.insert(QStringLiteral("PIP_FIND_LINKS"), wheels);
    const QString support = ws.path(QStringLiteral("home/.local/share/Stemloft"));
    const QString python = support + QStringLiteral("/python/cpython-3.12.4-linux-x86_64-gnu/bin/python3.12");

    auto app = launch(profile);
    app->installDemucs();
    ASSERT_TRUE(waitIdle(*app, 170000));
    QStringList lines = logLines(*app);
    EXPECT_TRUE(lines.contains("Python installed: " + python)) << logText(*app).toStdString();
    EXPECT_EQ(lines.filter("Using Python: " + python + " (3.").size(), 1) << logText(*app).toStdString();
    EXPECT_EQ(lines.mid(lines.size() - 2), QStringList({"Installed Demucs.", app->tools().managedDemucsPython()}));
    EXPECT_TRUE(passesCompatibilityProbe(*app));

    // The command line, on a machine that has neither environment nor Python yet.
    QDir(support).removeRecursively();
    QBuffer out, err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    cli::Io io;
    io.out = &out;
    io.err = &err;
    EXPECT_EQ(cli::run({QStringLiteral("install"), QStringLiteral("demucs")}, profile, io), 0)
        << err.data().toStdString();
    lines = QString::fromUtf8(out.data()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_TRUE(lines.contains("Python installed: " + python)) << out.data().toStdString();
    EXPECT_TRUE(lines.contains("Installed Demucs."));
    EXPECT_TRUE(passesCompatibilityProbe(*app));
    EXPECT_EQ(readRecordedArgs(ws.path(QStringLiteral("uv-runs"))).size(), 4);
}
