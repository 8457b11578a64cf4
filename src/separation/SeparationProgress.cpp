#include "separation/SeparationProgress.h"

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
