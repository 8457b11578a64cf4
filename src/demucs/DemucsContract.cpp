// What Stemloft relies on from Python, pip and Demucs: the interpreters it
// looks for, the install command, the compatibility probe and pip's progress.
#include "demucs/DemucsContract.h"

#include "base/FileOps.h"
#include "base/PlatformProfile.h"
#include "demucs/DemucsEnvironment.h"

#include <QRegularExpression>

#include <algorithm>
#include <iterator>

namespace {

const QStringList& pythonVersions()
{
    static const QStringList versions = {QStringLiteral("3.12"), QStringLiteral("3.11"),
                                         QStringLiteral("3.10"), QStringLiteral("3.9")};
    return versions;
}

const QStringList& pathInterpreterNames()
{
    static const QStringList names = {QStringLiteral("python3.12"), QStringLiteral("python3.11"),
                                      QStringLiteral("python3.10"), QStringLiteral("python3.9"),
                                      QStringLiteral("python3")};
    return names;
}

}  // namespace

namespace demucs {

QString compatibilityProbeScript()
{
    static const QStringList lines = {
        QStringLiteral("import os, sys, tempfile, torch, torchaudio, soundfile, demucs"),
        QStringLiteral("torch_version = torch.__version__.split(\"+\", 1)[0]"),
        QStringLiteral("torchaudio_version = torchaudio.__version__.split(\"+\", 1)[0]"),
        QStringLiteral("fd, path = tempfile.mkstemp(suffix=\".wav\")"),
        QStringLiteral("os.close(fd)"),
        QStringLiteral("try:"),
        QStringLiteral("    torchaudio.save(path, torch.zeros(1, 1600), 16000)"),
        QStringLiteral("    torchaudio.load(path)"),
        QStringLiteral("finally:"),
        QStringLiteral("    try:"),
        QStringLiteral("        os.remove(path)"),
        QStringLiteral("    except FileNotFoundError:"),
        QStringLiteral("        pass"),
        QStringLiteral("ok = (3, 9) <= sys.version_info[:2] <= (3, 12) and torch_version == \"2.5.1\" "
                       "and torchaudio_version == \"2.5.1\""),
        // What PyTorch can run on; a build without the query counts as CPU only.
        QStringLiteral("try:"),
        QStringLiteral("    device = \"cuda\" if torch.cuda.is_available() else "
                       "\"mps\" if torch.backends.mps.is_available() else \"cpu\""),
        QStringLiteral("except Exception:"),
        QStringLiteral("    device = \"cpu\""),
        QStringLiteral("print(\"stemloft-device: \" + device)"),
        // A mismatch raises nothing; this line is the reason the user sees.
        QStringLiteral("if not ok:"),
        QStringLiteral("    print(\"Found Python %d.%d with torch %s and torchaudio %s; Demucs needs Python 3.9 to 3.12 "
                       "with torch and torchaudio 2.5.1.\" % (sys.version_info[0], sys.version_info[1], "
                       "torch_version, torchaudio_version))"),
        QStringLiteral("sys.exit(0 if ok else 1)"),
    };
    return lines.join(QLatin1Char('\n'));
}

}  // namespace demucs

QStringList demucs::pythonCandidates(const PlatformProfile& profile)
{
    QStringList candidates;
    for (const QString& prefix : profile.pythonPrefixes) {
        for (const QString& version : pythonVersions()) {
            const QString keg = prefix + QStringLiteral("/opt/python@") + version + QStringLiteral("/bin/");
            candidates << keg + QStringLiteral("python") + version << keg + QStringLiteral("python3")
                       << prefix + QStringLiteral("/bin/python") + version;
        }
        candidates << prefix + QStringLiteral("/bin/python3");
    }
    if (!profile.pythonFrameworkVersions.isEmpty()) {
        for (const QString& version : pythonVersions())
            candidates << profile.pythonFrameworkVersions + QLatin1Char('/') + version + QStringLiteral("/bin/python3");
        candidates << profile.pythonFrameworkVersions + QStringLiteral("/Current/bin/python3");
    }
    // The application's own PATH, not the extended one children get.
    const QStringList entries =
        profile.appEnvironment.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& entry : entries) {
        const QString dir = fileops::fileURLPath(entry);
        for (const QString& name : pathInterpreterNames())
            candidates << fileops::appendingComponent(dir, name);
    }
    return candidates;
}

QString demucs::shellQuoted(const QString& text)
{
    QString inner = text;
    inner.replace(QLatin1String("'"), QLatin1String("'\\''"));
    return QLatin1Char('\'') + inner + QLatin1Char('\'');
}

QString demucs::installCommandString(const QString& systemPython, const QString& environmentFolder,
                                     const QString& managedPython, const QStringList& packageOptions)
{
    const QString pip = shellQuoted(managedPython) + QStringLiteral(" -m pip install --disable-pip-version-check");
    QString options;
    for (const QString& option : packageOptions)
        options += QLatin1Char(' ') + shellQuoted(option);
    return QStringList{
        // The profile runs after the clean environment was made and may set
        // them again; what else it sets (a proxy, PATH) still applies.
        QStringLiteral("unset ") + userPythonVariables().join(QLatin1Char(' ')),
        shellQuoted(systemPython) + QStringLiteral(" -m venv ") + shellQuoted(environmentFolder),
        // The pip that venv seeds may predate 24.1, which rejects "--progress-bar=raw";
        // only the upgraded pip is given that option.
        pip + QStringLiteral(" --upgrade pip"),
        pip + QStringLiteral(" --progress-bar=raw") + options +
            QStringLiteral(" --upgrade torch==2.5.1 torchaudio==2.5.1 soundfile demucs==4.0.1"),
    }.join(QStringLiteral(" && "));
}

std::optional<int> demucs::pipProgressPercent(QStringView line)
{
    static const QLatin1String prefix("Progress ");
    if (!line.startsWith(prefix))
        return std::nullopt;
    const auto parts = line.mid(prefix.size()).split(QLatin1Char(' '));
    if (parts.size() != 3 || parts.at(1) != QLatin1String("of"))
        return std::nullopt;
    bool okDone = false, okTotal = false;
    const qint64 done = parts.at(0).toString().toLongLong(&okDone);
    const qint64 total = parts.at(2).toString().toLongLong(&okTotal);
    if (!okDone || !okTotal || total <= 0 || done < 0)
        return std::nullopt;
    return int(std::min<qint64>(100, done * 100 / total));
}

namespace {

QString withoutColours(QString line)
{
    static const QRegularExpression escape(QStringLiteral("\\x1b\\[[0-9;]*[A-Za-z]"));
    return line.remove(escape).trimmed();
}

}  // namespace

QString demucs::errorLine(const QStringList& lines)
{
    // "pkg.module.NameError: text", the last line of a traceback; a chained
    // traceback's last one is the one that ended the run.
    static const QRegularExpression exception(
        QStringLiteral("^(?:[A-Za-z_]\\w*\\.)*[A-Za-z_]\\w*(?:Error|Exception|Exit|Interrupt|Failure):\\s*\\S"));
    QString own;
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QString line = withoutColours(*it);
        if (exception.match(line).hasMatch())
            return line;
        if (own.isEmpty() && (line.startsWith(QLatin1String("FATAL:")) ||
                              line.startsWith(QLatin1String("Could not load file"))))
            own = line;
    }
    return own;
}

bool demucs::isDownloadError(QStringView line)
{
    static const QLatin1String signs[] = {
        QLatin1String("URLError"),
        QLatin1String("HTTPError"),
        QLatin1String("HTTP Error"),
        QLatin1String("urlopen error"),
        QLatin1String("ContentTooShortError"),
        QLatin1String("IncompleteRead"),
        QLatin1String("RemoteDisconnected"),
        QLatin1String("ConnectionError"),
        QLatin1String("ConnectionResetError"),
        QLatin1String("ConnectionRefusedError"),
        QLatin1String("Connection refused"),
        QLatin1String("Connection reset"),
        QLatin1String("Network is unreachable"),
        QLatin1String("Name or service not known"),
        QLatin1String("Temporary failure in name resolution"),
        QLatin1String("nodename nor servname"),
        QLatin1String("CERTIFICATE_VERIFY_FAILED"),
        QLatin1String("socket.timeout"),
        QLatin1String("TimeoutError"),
    };
    return std::any_of(std::begin(signs), std::end(signs),
                       [line](QLatin1String sign) { return line.contains(sign); });
}
