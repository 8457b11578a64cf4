#pragma once

// ffmpeg's conversions: the input for Demucs and each exported stem.

#include "base/AppError.h"
#include "base/PlatformProfile.h"
#include "process/ChildProcess.h"
#include "separation/ExportFormat.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace separation {

// What a conversion produces: 16-bit WAV for Demucs, or a stem as AAC,
// FLAC or 24-bit WAV.
enum class ConversionTarget { wav, m4a, flac, wav24 };

// The conversion that writes a stem in the export format.
ConversionTarget stemTarget(ExportFormat format);

// The converter's argument vector. ffmpeg is told the container explicitly,
// so the destination's name needs no particular extension.
QStringList converterArguments(PlatformProfile::Converter converter, ConversionTarget target,
                               const QString& source, const QString& destination);

// The error of a finished conversion that did not succeed: "Stemloft" code 5
// (the WAV for Demucs) or 3 (a stem), naming the source file and the converter's trimmed output,
// or its status when the output is empty or not UTF-8.
AppError conversionFailure(const PlatformProfile& profile, ConversionTarget target, const QString& source,
                           int status, const QByteArray& output);

// One run of the profile's converter, in the background. The converter
// inherits the application's environment.
class ConversionRun : public QObject {
    Q_OBJECT
public:
    ConversionRun(const PlatformProfile& profile, ConversionTarget target, QString source, QString destination,
                  QObject* parent = nullptr);

    // False when it could not begin: no converter ("Stemloft" 4, or 2 for a
    // stem), an old WAV destination that cannot be removed, or a launch error. error() says
    // which; finished() is not emitted then.
    bool start();
    void stop() { m_child.stop(); }
    bool isActive() const { return m_child.isActive(); }

    bool wasStopped() const { return m_stopped; }
    // Ran to the end with exit code 0, unstopped.
    bool succeeded() const { return !m_error && !m_stopped && m_child.result().ok(); }
    // The converter ran, failed (an exit code, not a signal) and said why
    // about the source: no audio it can read there.
    bool rejectedSource() const;
    // The converter ran and ended with an exit code other than 0.
    bool exitedWithFailure() const { return m_child.result().outcome == RunResult::Outcome::failed; }
    // The converter's last line of output, its own reason; empty when none.
    QString lastOutputLine() const;
    bool crashed() const { return m_child.result().outcome == RunResult::Outcome::crashed; }
    const std::optional<AppError>& error() const { return m_error; }
    const QString& source() const { return m_source; }
    const QString& destination() const { return m_destination; }

signals:
    void finished();

private:
    void onFinished(const RunResult& result);

    const PlatformProfile& m_profile;
    ConversionTarget m_target;
    QString m_source;
    QString m_destination;
    ChildProcess m_child;
    std::optional<AppError> m_error;
    bool m_stopped = false;
};

}  // namespace separation
