// Building the managed Demucs environment with a login shell.
#include "app/AppDelegate.h"
#include "app/AppError.h"
#include "app/FileOps.h"
#include "demucs/DemucsContract.h"
#include "process/ProcessRunner.h"

#include <QPushButton>

namespace {

const QString installedTitle = QStringLiteral("Demucs Installed");
const QString installFailedTitle = QStringLiteral("Demucs Install Failed");

void finishDemucsInstall(AppDelegate& app, const QString& managedPython, int status)
{
    app.process = nullptr;
    app.isInstallingDemucs = false;
    app.stopInstallProgressTimer();
    app.updateControlStates(false);
    if (status != 0) {
        // The partly built environment stays; the next install removes it.
        const QString message =
            QStringLiteral("Demucs install failed with exit code %1.").arg(status);
        app.appendLog(message);
        app.showAlert(installFailedTitle, message);
        return;
    }
    // Judged by the shell's status alone; the probe runs at the next check.
    app.installDemucsButton->setText(installedTitle);
    app.appendLog(QStringLiteral("Installed Demucs."));
    app.appendLog(managedPython);
    app.showAlert(installedTitle, QStringLiteral("You can now separate reference audio into stems."));
}

}  // namespace

QString demucs::shellQuoted(const QString& text)
{
    QString inner = text;
    inner.replace(QLatin1String("'"), QLatin1String("'\\''"));
    return QLatin1Char('\'') + inner + QLatin1Char('\'');
}

QString demucs::installCommandString(const QString& systemPython, const QString& environmentFolder,
                                     const QString& managedPython)
{
    const QString pip = shellQuoted(managedPython) + QStringLiteral(" -m pip install --disable-pip-version-check");
    return QStringList{
        shellQuoted(systemPython) + QStringLiteral(" -m venv ") + shellQuoted(environmentFolder),
        // The pip that venv seeds may predate 24.1, which rejects "--progress-bar=raw";
        // only the upgraded pip is given that option.
        pip + QStringLiteral(" --upgrade pip"),
        pip + QStringLiteral(" --progress-bar=raw --upgrade torch==2.5.1 torchaudio==2.5.1 soundfile demucs==4.0.1"),
    }.join(QStringLiteral(" && "));
}

void AppDelegate::installDemucs()
{
    if (process) {
        appendLog(QStringLiteral("Another task is already running."));
        return;
    }
    if (hasManagedDemucsInstall()) {
        installDemucsButton->setText(installedTitle);
        appendLog(QStringLiteral("Demucs is already installed."));
        appendLog(managedDemucsPythonURL());
        showAlert(QStringLiteral("Demucs Already Installed"),
                  QStringLiteral("You can separate stems without installing again."));
        return;
    }
    const std::optional<QString> systemPython = findSystemPython3();
    if (!systemPython) {
        const QString message = QStringLiteral(
            "A Demucs-compatible Python was not found. Install Python 3.12 with Homebrew or from "
            "python.org, then try again.");
        appendLog(message);
        showAlert(installFailedTitle, message);
        return;
    }

    try {
        const QString supportFolder = appSupportURL();
        const QString environmentFolder = fileops::appendingComponent(supportFolder, QStringLiteral("demucs-env"));
        const QString managedPython = managedDemucsPythonURL();
        fileops::createDirectories(supportFolder);
        clearLog();
        appendLog(QStringLiteral("Installing Demucs into managed Python environment..."));
        appendLog(environmentFolder);
        // No usable installation was found above, so whatever is here is incomplete.
        if (fileops::itemExists(environmentFolder)) {
            appendLog(QStringLiteral("Removing incomplete Demucs environment..."));
            fileops::removeItem(environmentFolder);
        }
        appendLog(QStringLiteral("Using Python: ") + *systemPython + pythonVersionDescription(*systemPython));
        appendLog(QStringLiteral("This can take several minutes on the first install."));
        appendLog(QStringLiteral("Downloading PyTorch and Demucs dependencies. The PyTorch wheel is about 64 MB."));

        const QString command = demucs::installCommandString(*systemPython, environmentFolder, managedPython);
        ProcessRun* run = makeLongRun(
            m_profile.loginShell, {m_profile.loginShellFlag, command},
            [](AppDelegate& app, const QString& text) { app.appendProcessOutput(text); },
            [managedPython](AppDelegate* app, int status) {
                if (app)
                    finishDemucsInstall(*app, managedPython, status);
            });
        isInstallingDemucs = true;
        process = run;
        updateControlStates(true);
        startDemucsInstallProgressTimer();
        QString launchError;
        if (!run->launch(&launchError)) {
            delete run;
            throw AppError(QStringLiteral("Process"), 0, launchError);
        }
    } catch (const AppError& error) {
        isInstallingDemucs = false;
        process = nullptr;
        stopInstallProgressTimer();
        updateControlStates(false);
        appendLog(QStringLiteral("Failed to start Demucs install: ") + error.localizedDescription());
    }
}

void AppDelegate::startDemucsInstallProgressTimer()
{
    startProgressTimer(m_profile.demucsProgressIntervalMs, [](AppDelegate& app) {
        if (app.isInstallingDemucs)
            app.appendLog(QStringLiteral(
                "Still installing Demucs dependencies. Large PyTorch downloads can take several minutes."));
    });
}
