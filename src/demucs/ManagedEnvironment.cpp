// The managed Demucs environment: where its interpreter lives and whether it works.
#include "app/AppDelegate.h"
#include "app/AppError.h"
#include "app/FileOps.h"
#include "demucs/DemucsContract.h"
#include "process/ProcessRunner.h"

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
        QStringLiteral("sys.exit(0 if ok else 1)"),
    };
    return lines.join(QLatin1Char('\n'));
}

}  // namespace demucs

QString AppDelegate::managedDemucsPythonURL() const
{
    QString root;
    try {
        root = appSupportURL();
    } catch (const AppError&) {
        root = fileops::fileURLPath(m_profile.homeDir);
    }
    return fileops::appendingComponent(root, QStringLiteral("demucs-env/bin/python"));
}

bool AppDelegate::hasManagedDemucsInstall() const
{
    const QString python = managedDemucsPythonURL();
    if (!fileops::isExecutableFile(python))
        return false;
    SyncRunOptions options;
    options.environment = processEnvironment();
    options.output = SyncRunOptions::Output::discard;
    const SyncRunResult result =
        runSync(python, {QStringLiteral("-c"), demucs::compatibilityProbeScript()}, options);
    return result.launched && result.status == 0;
}
