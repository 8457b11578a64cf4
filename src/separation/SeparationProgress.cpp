#include "separation/SeparationProgress.h"

#include <QList>

#include <algorithm>
#include <cmath>

namespace separation {

std::optional<int> demucsBarPercent(QStringView line)
{
    const qsizetype bar = line.indexOf(QLatin1Char('|'));
    if (bar <= 0)
        return std::nullopt;
    QStringView head = line.left(bar).trimmed();
    if (!head.endsWith(QLatin1Char('%')))
        return std::nullopt;
    head.chop(1);
    bool ok = false;
    const int value = head.toString().toInt(&ok);
    if (!ok || value < 0 || value > 100)
        return std::nullopt;
    return value;
}

DemucsProgress::DemucsProgress(int downloads, int tracks) : m_tracks(std::max(1, tracks))
{
    m_download.parts = std::max(1, downloads);
    m_separation.parts = m_tracks;
}

double DemucsProgress::Climb::fraction(int percent)
{
    if (percent < lastPercent && part + 1 < parts)
        ++part;
    lastPercent = percent;
    return (part + percent / 100.0) / parts;
}

DemucsProgress::Reading DemucsProgress::read(QStringView line)
{
    static const QString bagPrefix = QStringLiteral("Selected model is a bag of ");
    const QStringView trimmed = line.trimmed();
    if (trimmed.startsWith(bagPrefix)) {
        bool ok = false;
        const int models = trimmed.mid(bagPrefix.size()).split(QLatin1Char(' ')).first().toInt(&ok);
        if (ok && models > 0)
            m_separation.parts = models * m_tracks;
        return {};
    }
    const std::optional<int> percent = demucsBarPercent(trimmed);
    if (!percent)
        return {};
    // torch.hub counts bytes ("8.67MB/s", "?B/s", "2.1s/B"); Demucs counts seconds of audio.
    if (trimmed.contains(QLatin1String("B/s")) || trimmed.contains(QLatin1String("s/B")))
        return {Reading::Kind::download, m_download.fraction(*percent)};
    return {Reading::Kind::separation, m_separation.fraction(*percent)};
}

int separationPercent(SeparationStage stage, double fractionDone)
{
    const double f = std::clamp(std::isfinite(fractionDone) ? fractionDone : 0.0, 0.0, 1.0);
    double done = 0;
    switch (stage) {
    case SeparationStage::converting: done = 5 * f; break;
    case SeparationStage::demucs: done = 5 + 80 * f; break;
    case SeparationStage::encoding: done = 85 + 15 * f; break;
    }
    return int(std::floor(done));
}

}  // namespace separation
