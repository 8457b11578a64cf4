#include "separation/ExportFormat.h"

namespace separation {

QString formatExtension(ExportFormat format)
{
    switch (format) {
    case ExportFormat::flac:
        return QStringLiteral("flac");
    case ExportFormat::wav:
        return QStringLiteral("wav");
    case ExportFormat::aac:
        break;
    }
    return QStringLiteral("m4a");
}

QString formatContentType(ExportFormat format)
{
    switch (format) {
    case ExportFormat::flac:
        return QStringLiteral("audio/flac");
    case ExportFormat::wav:
        return QStringLiteral("audio/wav");
    case ExportFormat::aac:
        break;
    }
    return QStringLiteral("audio/mp4");
}

bool isLossless(ExportFormat format)
{
    return format != ExportFormat::aac;
}

std::optional<ExportFormat> formatFromExtension(const QString& extension)
{
    for (ExportFormat format : {ExportFormat::aac, ExportFormat::flac, ExportFormat::wav}) {
        if (extension.compare(formatExtension(format), Qt::CaseInsensitive) == 0)
            return format;
    }
    return std::nullopt;
}

}  // namespace separation
