// The Demucs installer against the real login shell, venv and pip, with a
// local folder of stand-in wheels (nothing reaches the internet).
#include "demucs/PythonProbes.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
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
// torchaudio really writes and reads a WAV file.
const char* buildWheels = R"PY(
import base64, hashlib, os, sys, zipfile
out = sys.argv[1]
TORCH = '''__version__ = "2.5.1"
class Tensor:
    def __init__(self, shape):
        self.shape = tuple(shape)
def zeros(*shape):
    return Tensor(shape)
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
wheel("demucs", "4.0.1", {"demucs/__init__.py": "__version__ = '4.0.1'\n", "demucs/separate.py": ""})
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

std::optional<FoundPython> findSystemPython(const AppDelegate& app)
{
    demucs::PythonFinder finder(app.profile(), app.processEnvironment());
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

bool passesCompatibilityProbe(const AppDelegate& app)
{
    QObject owner;
    std::optional<demucs::ProbeAnswer> answer;
    demucs::probeManagedEnvironment(&owner, app.managedDemucsPythonURL(), app.processEnvironment(),
                                    app.profile().probeTimeLimitMs,
                                    [&](demucs::ProbeAnswer a) { answer = a; });
    EXPECT_TRUE(waitUntil([&] { return answer.has_value(); }, 150000));
    return answer && answer->compatible;
}

// A launched window once its background check of the environment answered.
std::unique_ptr<AppDelegate> launch(const PlatformProfile& profile)
{
    auto app = makeDelegate(profile);
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
    profile.appEnvironment = env;
    app = launch(profile);

    app->installDemucs();
    ASSERT_TRUE(app->isBusy()) << logText(*app).toStdString();
    ASSERT_TRUE(waitIdle(*app, 170000));
    const QStringList lines = logLines(*app);
    EXPECT_FALSE(found->version.isEmpty());
    EXPECT_TRUE(lines.contains("Using Python: " + systemPython + found->version)) << logText(*app).toStdString();
    ASSERT_EQ(lines.mid(lines.size() - 2), QStringList({"Installed Demucs.", app->managedDemucsPythonURL()}))
        << logText(*app).toStdString();
    EXPECT_EQ(app->installDemucsButton->text(), "Demucs Installed");
    EXPECT_TRUE(passesCompatibilityProbe(*app));

    EXPECT_EQ(launch(profile)->installDemucsButton->text(), "Demucs Installed");
    std::cout << "real install took " << clock.elapsed() << " ms" << std::endl;
}
