#include "separation/ExportFormat.h"

namespace separation {

namespace {

struct FormatFacts {
    ExportFormat format;
    const char* extension;
    const char* contentType;
};

constexpr FormatFacts formats[] = {
    {ExportFormat::aac, "m4a", "audio/mp4"},
    {ExportFormat::flac, "flac", "audio/flac"},
    {ExportFormat::wav, "wav", "audio/wav"},
};

const FormatFacts& factsOf(ExportFormat format)
{
    for (const FormatFacts& facts : formats) {
        if (facts.format == format)
            return facts;
    }
    return formats[0];
}

}  // namespace

QString formatExtension(ExportFormat format)
{
    return QString::fromLatin1(factsOf(format).extension);
}

QString formatContentType(ExportFormat format)
{
    return QString::fromLatin1(factsOf(format).contentType);
}

bool isLossless(ExportFormat format)
{
    return format != ExportFormat::aac;
}

std::optional<ExportFormat> formatFromExtension(const QString& extension)
{
    for (const FormatFacts& facts : formats) {
        if (extension.compare(QLatin1String(facts.extension), Qt::CaseInsensitive) == 0)
            return facts.format;
    }
    return std::nullopt;
}

}  // namespace separation
