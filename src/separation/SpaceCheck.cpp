#include "separation/SpaceCheck.h"

#include "base/FileOps.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace separation {

namespace {

// Demucs's rate and channels whatever the source's.
constexpr double framesPerSecond = 44100;
constexpr double channels = 2;
constexpr qint64 megabyte = 1000 * 1000;

QString megabytes(qint64 bytes, bool roundUp)
{
    const double mb = double(bytes) / double(megabyte);
    return QString::number(qint64(roundUp ? std::ceil(mb) : std::floor(mb)));
}

}  // namespace

SpaceNeeds spaceNeeds(double seconds, int stemCount, ExportFormat format, bool convertsInput,
                      const PartsSpace& parts)
{
    const double pcm16 = seconds * framesPerSecond * channels * 2;
    const bool lossless = isLossless(format);
    // Lossless exports keep Demucs's 24 bits.
    const double demucsStem = lossless ? pcm16 * 1.5 : pcm16;
    double exported = 0;
    switch (format) {
    case ExportFormat::aac: exported = seconds * 192000 / 8; break;
    case ExportFormat::flac: exported = demucsStem * 0.75; break;  // separated stems compress little
    case ExportFormat::wav: exported = demucsStem; break;
    }
    SpaceNeeds needs;
    needs.temporary = qint64(std::ceil((convertsInput ? pcm16 : 0) + stemCount * demucsStem));
    if (parts.parts > 1) {
        // The most at any one time: the converted input beside its parts
        // while they are cut, the parts and every part's stems when Demucs
        // ends, every part's stems and one joined stem while joining (each
        // stem's parts go once it is joined, the input's once Demucs ends).
        const double partsSeconds = seconds + (parts.parts - 1) * parts.overlapSeconds;
        const double inputParts = partsSeconds * parts.inputBytesPerSecond;
        const double partStems = stemCount * demucsStem * partsSeconds / std::max(seconds, 1.0);
        const double peak = std::max({(convertsInput ? pcm16 : 0) + inputParts, inputParts + partStems,
                                      partStems + demucsStem});
        needs.temporary = qint64(std::ceil(peak));
    }
    needs.stems = qint64(std::ceil(stemCount * exported));
    return needs;
}

DurationProbe durationProbe(const PlatformProfile& profile, const QString& file)
{
    const QString folder = fileops::deletingLastComponent(profile.converterPath);
    if (profile.converter == PlatformProfile::Converter::afconvert) {
        const QString afinfo = fileops::appendingComponent(folder, QStringLiteral("afinfo"));
        if (fileops::isExecutableFile(afinfo))
            return {afinfo, {file}};
        return {};
    }
    const QString ffprobe = fileops::appendingComponent(folder, QStringLiteral("ffprobe"));
    if (!fileops::isExecutableFile(ffprobe))
        return {};
    return {ffprobe,
            {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
             QStringLiteral("format=duration"), QStringLiteral("-of"),
             QStringLiteral("default=noprint_wrappers=1:nokey=1"),
             file.startsWith(QLatin1Char('/')) ? file : QStringLiteral("file:") + file}};
}

std::optional<double> parseDuration(const QByteArray& output)
{
    // ffprobe: "180.024000"; afinfo: "estimated duration: 180.024000 sec".
    static const QRegularExpression seconds(
        QStringLiteral("^(?:estimated duration:\\s*)?(\\d+(?:\\.\\d+)?)(?:\\s*sec)?\\s*$"),
        QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = seconds.match(QString::fromUtf8(output));
    if (!match.hasMatch())
        return std::nullopt;
    const double value = match.captured(1).toDouble();
    return std::isfinite(value) && value > 0 ? std::optional<double>(value) : std::nullopt;
}

std::optional<QString> spaceShortage(const QString& temporaryFolder, qint64 temporaryBytes,
                                     const QString& stemsFolder, qint64 stemsBytes)
{
    const auto shortage = [](const QString& folder, qint64 needed) -> std::optional<QString> {
        const std::optional<qint64> free = fileops::availableBytes(folder);
        if (!free || *free >= needed)
            return std::nullopt;
        return QStringLiteral("There is not enough free space in %1: about %2 MB needed, %3 MB free.")
            .arg(folder, megabytes(needed, true), megabytes(*free, false));
    };
    const std::optional<quint64> temporaryId = fileops::fileSystemId(temporaryFolder);
    if (temporaryId && temporaryId == fileops::fileSystemId(stemsFolder)) {
        // One disk takes both; the temporary files go before the stems are moved in, but
        // the encodes are written while they are still there.
        return shortage(stemsFolder, temporaryBytes + stemsBytes);
    }
    if (auto problem = shortage(temporaryFolder, temporaryBytes))
        return problem;
    return shortage(stemsFolder, stemsBytes);
}

QString ranOutOfSpace(const QString& folder, std::optional<qint64> neededBytes)
{
    QString text = folder + QStringLiteral(" ran out of space");
    if (neededBytes) {
        const qint64 free = fileops::availableBytes(folder).value_or(0);
        text += QStringLiteral(": about %1 MB needed, %2 MB free").arg(megabytes(*neededBytes, true), megabytes(free, false));
    }
    return text + QLatin1Char('.');
}

bool saysOutOfSpace(const QString& text)
{
    return text.contains(QLatin1String("No space left on device")) || text.contains(QLatin1String("ENOSPC")) ||
           text.contains(QLatin1String("Disk quota exceeded")) || text.contains(QLatin1String("[Errno 28]"));
}

}  // namespace separation
