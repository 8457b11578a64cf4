#include "separation/AudioConversion.h"

#include "base/FileOps.h"

namespace separation {

namespace {

// ffmpeg reads "name:" at the start of a path as a protocol; an absolute path
// is always a file, anything else is marked as one.
QString ffmpegFilePath(const QString& path)
{
    return path.startsWith(QLatin1Char('/')) ? path : QStringLiteral("file:") + path;
}

}  // namespace

ConversionTarget stemTarget(ExportFormat format)
{
    switch (format) {
    case ExportFormat::flac:
        return ConversionTarget::flac;
    case ExportFormat::wav:
        return ConversionTarget::wav24;
    case ExportFormat::aac:
        break;
    }
    return ConversionTarget::m4a;
}

QStringList converterArguments(PlatformProfile::Converter converter, ConversionTarget target,
                               const QString& source, const QString& destination)
{
    if (converter == PlatformProfile::Converter::afconvert) {
        switch (target) {
        case ConversionTarget::wav:
            return {QStringLiteral("-f"), QStringLiteral("WAVE"), QStringLiteral("-d"),
                    QStringLiteral("LEI16"), source, destination};
        case ConversionTarget::flac:
            return {QStringLiteral("-f"), QStringLiteral("flac"), QStringLiteral("-d"), QStringLiteral("flac"),
                    source, destination};
        case ConversionTarget::wav24:
            return {QStringLiteral("-f"), QStringLiteral("WAVE"), QStringLiteral("-d"),
                    QStringLiteral("LEI24"), source, destination};
        case ConversionTarget::m4a:
            break;
        }
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
    switch (target) {
    case ConversionTarget::wav:
        args << QStringLiteral("-c:a") << QStringLiteral("pcm_s16le") << QStringLiteral("-f") << QStringLiteral("wav");
        break;
    case ConversionTarget::m4a:
        args << QStringLiteral("-c:a") << QStringLiteral("aac") << QStringLiteral("-b:a")
             << QStringLiteral("192000") << QStringLiteral("-f") << QStringLiteral("ipod");
        break;
    // Lossless: no bit rate, and the 24 bits Demucs wrote are kept.
    case ConversionTarget::flac:
        args << QStringLiteral("-c:a") << QStringLiteral("flac") << QStringLiteral("-f") << QStringLiteral("flac");
        break;
    case ConversionTarget::wav24:
        args << QStringLiteral("-c:a") << QStringLiteral("pcm_s24le") << QStringLiteral("-f")
             << QStringLiteral("wav");
        break;
    }
    args << ffmpegFilePath(destination);
    return args;
}

AppError conversionFailure(const PlatformProfile& profile, ConversionTarget target, const QString& source,
                           int status, const QByteArray& output)
{
    const bool toWav = target == ConversionTarget::wav;
    // Output that is not UTF-8 counts as none: the message falls back to the status.
    const QString text = decodeUtf8(output).value_or(QString()).trimmed();
    const QString prefix = toWav ? profile.converterName + QStringLiteral(" failed to prepare ")
                                 : profile.converterName + QStringLiteral(" failed for ");
    const QString fileName = fileops::lastComponent(source);
    const QString message = text.isEmpty()
                                ? prefix + fileName + QStringLiteral(" with exit code %1.").arg(status)
                                : prefix + fileName + QStringLiteral(": ") + text;
    return AppError::stemloft(toWav ? 5 : 3, message);
}

ConversionRun::ConversionRun(const PlatformProfile& profile, ConversionTarget target, QString source,
                             QString destination, QObject* parent)
    : QObject(parent), m_profile(profile), m_target(target), m_source(std::move(source)),
      m_destination(std::move(destination))
{
    m_child.setProgram(profile.converterPath);
    m_child.setArguments(converterArguments(profile.converter, target, m_source, m_destination));
    m_child.setOutput(ChildProcess::Output::capture);
    m_child.setLowPriority(true);
    connect(&m_child, &ChildProcess::finished, this, &ConversionRun::onFinished);
}

bool ConversionRun::start()
{
    const bool toWav = m_target == ConversionTarget::wav;
    try {
        if (!fileops::isExecutableFile(m_profile.converterPath)) {
            throw AppError::stemloft(toWav ? 4 : 2, QStringLiteral("%1 was not found at %2.")
                                                        .arg(m_profile.converterName, m_profile.converterPath));
        }
        if (toWav && fileops::itemExists(m_destination))
            fileops::removeItem(m_destination);
        if (!m_child.start())
            throw AppError(QStringLiteral("Process"), 0, m_child.result().error);
    } catch (const AppError& error) {
        m_error = error;
        return false;
    }
    return true;
}

bool ConversionRun::rejectedSource() const
{
    if (m_child.result().outcome != RunResult::Outcome::failed)
        return false;
    // ffmpeg names the input before an error about it ("song.mp3: Invalid
    // argument"); the other signs are its and afconvert's words about input.
    static const QLatin1String signs[] = {
        QLatin1String("matches no streams"),
        QLatin1String("Invalid data found when processing input"),
        QLatin1String("Failed to read frame size"),
        QLatin1String("could not find codec parameters"),
        QLatin1String("moov atom not found"),
        QLatin1String("does not contain any stream"),
        QLatin1String("ExtAudioFileOpen"),
    };
    const QString input = ffmpegFilePath(m_source) + QLatin1Char(':');
    for (const QString& line : splitOutputLines(QString::fromUtf8(m_child.capturedOutput()))) {
        if (line.startsWith(input) && !line.contains(QLatin1String("No space left")))
            return true;
        for (const QLatin1String& sign : signs) {
            if (line.contains(sign))
                return true;
        }
    }
    return false;
}

QString ConversionRun::lastOutputLine() const
{
    const QStringList lines = splitOutputLines(QString::fromUtf8(m_child.capturedOutput()));
    return lines.isEmpty() ? QString() : lines.last();
}

void ConversionRun::onFinished(const RunResult& result)
{
    if (result.outcome == RunResult::Outcome::stopped)
        m_stopped = true;
    else if (result.outcome == RunResult::Outcome::crashed)
        m_error = AppError::stemloft(m_target == ConversionTarget::wav ? 5 : 3,
                                     signalMessage(m_profile.converterName, result.status));
    else if (!result.ok())
        m_error = conversionFailure(m_profile, m_target, m_source, result.status, m_child.capturedOutput());
    emit finished();
}

}  // namespace separation
