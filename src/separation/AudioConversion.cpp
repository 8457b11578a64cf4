#include "separation/AudioConversion.h"

#include "app/AppDelegate.h"
#include "app/AppError.h"
#include "app/FileOps.h"
#include "process/ProcessRunner.h"


namespace separation {

namespace {

// ffmpeg reads "name:" at the start of a path as a protocol; an absolute path
// is always a file, anything else is marked as one.
QString ffmpegFilePath(const QString& path)
{
    return path.startsWith(QLatin1Char('/')) ? path : QStringLiteral("file:") + path;
}

}  // namespace

QStringList converterArguments(PlatformProfile::Converter converter, ConversionTarget target,
                               const QString& source, const QString& destination)
{
    if (converter == PlatformProfile::Converter::afconvert) {
        if (target == ConversionTarget::wav)
            return {QStringLiteral("-f"), QStringLiteral("WAVE"), QStringLiteral("-d"),
                    QStringLiteral("LEI16"), source, destination};
        return {QStringLiteral("-f"), QStringLiteral("m4af"), QStringLiteral("-d"), QStringLiteral("aac"),
                QStringLiteral("-b"), QStringLiteral("192000"), source, destination};
    }
    // Never prompt or read the terminal; print only errors, which become the
    // failure message. The first audio stream is taken, so movie files work;
    // sample rate and channels follow the source.
    QStringList args = {QStringLiteral("-nostdin"), QStringLiteral("-y"),
                        QStringLiteral("-hide_banner"), QStringLiteral("-nostats"),
                        QStringLiteral("-loglevel"), QStringLiteral("error"),
                        QStringLiteral("-i"), ffmpegFilePath(source),
                        QStringLiteral("-map"), QStringLiteral("0:a:0"), QStringLiteral("-vn")};
    if (target == ConversionTarget::wav)
        args << QStringLiteral("-c:a") << QStringLiteral("pcm_s16le") << QStringLiteral("-f")
             << QStringLiteral("wav");
    else
        args << QStringLiteral("-c:a") << QStringLiteral("aac") << QStringLiteral("-b:a")
             << QStringLiteral("192000") << QStringLiteral("-f") << QStringLiteral("ipod");
    args << ffmpegFilePath(destination);
    return args;
}

void convertAudio(const PlatformProfile& profile, ConversionTarget target, const QString& source,
                  const QString& destination)
{
    const bool toWav = target == ConversionTarget::wav;
    const QString& name = profile.converterName;
    if (!fileops::isExecutableFile(profile.converterPath)) {
        throw AppError::stemloft(toWav ? 4 : 2, QStringLiteral("%1 was not found at %2.")
                                                    .arg(name, profile.converterPath));
    }
    if (toWav && fileops::itemExists(destination))
        fileops::removeItem(destination);

    SyncRunOptions options;  // no environment: the converter inherits ours
    options.output = SyncRunOptions::Output::merged;
    const SyncRunResult result = runSync(
        profile.converterPath, converterArguments(profile.converter, target, source, destination),
        options);
    if (!result.launched)
        throw AppError(QStringLiteral("Process"), 0, result.launchError);
    if (result.status == 0)
        return;

    // Output that is not UTF-8 counts as none: the message falls back to the status.
    const QString output = decodeUtf8(result.output).value_or(QString()).trimmed();

    const QString prefix = toWav ? name + QStringLiteral(" failed to prepare ")
                                 : name + QStringLiteral(" failed for ");
    const QString fileName = fileops::lastComponent(source);
    const QString message = output.isEmpty()
                                ? prefix + fileName + QStringLiteral(" with exit code %1.").arg(result.status)
                                : prefix + fileName + QStringLiteral(": ") + output;
    throw AppError::stemloft(toWav ? 5 : 3, message);
}

}  // namespace separation

void AppDelegate::convertAudioToWav(const QString& source, const QString& destination) const
{
    separation::convertAudio(profile(), separation::ConversionTarget::wav, source, destination);
}

void AppDelegate::convertWavToM4a(const QString& source, const QString& destination) const
{
    separation::convertAudio(profile(), separation::ConversionTarget::m4a, source, destination);
}
