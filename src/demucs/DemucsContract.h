#pragma once

#include <QString>
#include <QStringList>

namespace demucs {

// The compatibility probe run by the managed interpreter: imports the
// packages, checks their versions and saves and loads a short WAV file.
QString compatibilityProbeScript();

}  // namespace demucs
