// The separation run: guards, the temporary output root, the input
// conversion and the Demucs child.
#include "app/AppDelegate.h"
#include "app/AppError.h"
#include "app/FileOps.h"
#include "process/ProcessRunner.h"
#include "ui/SegmentedControl.h"

#include <QFileInfo>
#include <QUuid>

void AppDelegate::startSeparation()
{
    if (process) {
        appendLog(QStringLiteral("Another task is already running."));
        return;
    }
    if (!lastAudioURL()) {
        appendLog(QStringLiteral("Download or choose an audio file first."));
        return;
    }
    const QString audioURL = *lastAudioURL();
    if (!QFileInfo::exists(audioURL)) {
        appendLog(QStringLiteral("Audio file was not found: ") + audioURL);
        return;
    }
    const QString python = managedDemucsPythonURL();
    if (!fileops::isExecutableFile(python)) {
        appendLog(QStringLiteral("Demucs is not installed."));
        appendLog(QStringLiteral("Click Install Demucs, then try again."));
        return;
    }
    if (!hasManagedDemucsInstall()) {
        appendLog(QStringLiteral("The managed Demucs environment is not compatible."));
        appendLog(QStringLiteral("Click Install Demucs to rebuild it with Python 3.12."));
        return;
    }

    const SeparationMode mode = SeparationMode::fromSegment(stemModeControl->selectedSegment());
    const QString outputRoot = fileops::appendingComponent(
        fileops::fileURLPath(profile().tempDir),
        QStringLiteral("stemloft-demucs-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());

    ProcessRun* run = nullptr;
    try {
        fileops::createDirectories(outputRoot);
        clearLog();
        appendLog(QStringLiteral("Separating ") + mode.modeLabel() + QStringLiteral(" with ") +
                  mode.demucsModel() + QStringLiteral("..."));
        appendLog(QStringLiteral("Input: ") + audioURL);
        appendLog(QStringLiteral("This can take several minutes."));
        const QString input = prepareDemucsInput(audioURL, outputRoot);

        const QStringList arguments = {
            QStringLiteral("-m"), QStringLiteral("demucs.separate"),
            QStringLiteral("--name"), mode.demucsModel(),
            QStringLiteral("--out"), outputRoot,
            QStringLiteral("--filename"), QStringLiteral("{stem}.{ext}"),
            input,
        };
        run = makeLongRun(
            python, arguments,
            [](AppDelegate& self, const QString& text) { self.appendProcessOutput(text); },
            [outputRoot, audioURL, mode](AppDelegate* self, int status) {
                if (self) {
                    self->process = nullptr;
                    self->isSeparating = false;
                    self->updateControlStates(false);
                }
                if (status != 0) {
                    fileops::removeItemQuietly(outputRoot);
                    const QString message = QStringLiteral("Demucs failed with exit code %1.").arg(status);
                    if (self) {
                        self->appendLog(message);
                        self->showAlert(QStringLiteral("Stem Separation Failed"), message);
                    }
                    return;
                }
                if (self)
                    self->finishSeparation(outputRoot, audioURL, mode);
                else
                    fileops::removeItemQuietly(outputRoot);  // nobody is left to export it
            });
        isSeparating = true;
        process = run;
        updateControlStates(true);
        QString launchError;
        if (!run->launch(&launchError))
            throw AppError(QStringLiteral("Process"), 0, launchError);
    } catch (const AppError& error) {
        if (run)
            run->deleteLater();
        fileops::removeItemQuietly(outputRoot);
        isSeparating = false;
        process = nullptr;
        updateControlStates(false);
        appendLog(QStringLiteral("Failed to start Demucs: ") + error.localizedDescription());
    }
}

QString AppDelegate::prepareDemucsInput(const QString& audioURL, const QString& outputRoot)
{
    if (fileops::pathExtension(audioURL).toLower() == QLatin1String("wav"))
        return audioURL;
    const QString destination = fileops::appendingComponent(outputRoot, QStringLiteral("demucs-input.wav"));
    appendLog(QStringLiteral("Converting input to WAV for Demucs..."));
    convertAudioToWav(audioURL, destination);
    return destination;
}
