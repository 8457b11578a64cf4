#pragma once

#include <QString>

#include <optional>

namespace separation {

// The file type of the exported stems. AAC is the compact default; FLAC and
// WAV keep Demucs's 24-bit output unchanged.
enum class ExportFormat { aac, flac, wav };

// "m4a", "flac" or "wav": the stems' extension, and the name the settings
// and the command line use.
QString formatExtension(ExportFormat format);
// "audio/mp4", "audio/flac" or "audio/wav", as the manifest records it.
QString formatContentType(ExportFormat format);
// Asks Demucs for 24-bit stems, which only a lossless format keeps.
bool isLossless(ExportFormat format);
// The format an extension names (any case); nothing for another text.
std::optional<ExportFormat> formatFromExtension(const QString& extension);

}  // namespace separation
