#pragma once

#include "app/PlatformProfile.h"

#include <QString>
#include <QStringList>

namespace separation {

// What a conversion produces: 16-bit WAV for Demucs, or an AAC stem.
enum class ConversionTarget { wav, m4a };

// The converter's argument vector. ffmpeg is told the container explicitly,
// so the destination's name needs no particular extension.
QStringList converterArguments(PlatformProfile::Converter converter, ConversionTarget target,
                               const QString& source, const QString& destination);

// Runs the profile's converter synchronously. Throws AppError: "Stemloft"
// codes 4/5 (WAV) or 2/3 (m4a), a file-system error when an existing WAV
// destination cannot be removed, or the launch error.
void convertAudio(const PlatformProfile& profile, ConversionTarget target, const QString& source,
                  const QString& destination);

}  // namespace separation
