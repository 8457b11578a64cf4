#include "mixer/MixRules.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace mixer {

bool anySolo(const QList<StemSetting>& stems)
{
    for (const StemSetting& stem : stems) {
        if (stem.solo)
            return true;
    }
    return false;
}

double effectiveGain(const StemSetting& stem, bool soloing)
{
    const bool heard = soloing ? stem.solo : !stem.muted;
    return heard ? std::clamp(stem.volume, 0.0, 1.0) : 0.0;
}

bool changesTime(double tempo, int pitchSemitones)
{
    return std::abs(tempo - 1.0) > 1e-9 || pitchSemitones != 0;
}

namespace {
QString percent(double value)
{
    return QString::number(std::lround(value * 100)) + QLatin1Char('%');
}
}  // namespace

QString mixName(const MixSettings& settings)
{
    QStringList parts;
    const bool soloing = anySolo(settings.stems);
    QStringList silent;
    for (const StemSetting& stem : settings.stems) {
        const double gain = effectiveGain(stem, soloing);
        if (soloing) {
            if (stem.solo)
                parts << (gain < 1.0 ? stem.name + QLatin1Char(' ') + percent(gain) : stem.name);
        } else if (gain == 0.0) {
            silent << QStringLiteral("no ") + stem.name;
        } else if (gain < 1.0) {
            parts << stem.name + QLatin1Char(' ') + percent(gain);
        }
    }
    parts = silent + parts;
    QString name = parts.join(QStringLiteral(", "));
    QStringList time;
    if (std::abs(settings.tempo - 1.0) > 1e-9)
        time << percent(settings.tempo) + QStringLiteral(" tempo");
    if (settings.pitchSemitones != 0) {
        const QString sign = settings.pitchSemitones > 0 ? QStringLiteral("+") : QString();
        time << sign + QString::number(settings.pitchSemitones) +
                    (std::abs(settings.pitchSemitones) == 1 ? QStringLiteral(" semitone")
                                                            : QStringLiteral(" semitones"));
    }
    if (!time.isEmpty())
        name += (name.isEmpty() ? QString() : QStringLiteral(" ")) + time.join(QLatin1Char(' '));
    return name.isEmpty() ? QStringLiteral("full mix") : name;
}

int stemIndex(const QList<StemSetting>& stems, const QString& name)
{
    for (int i = 0; i < stems.size(); ++i) {
        if (stems[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return int(i);
    }
    return -1;
}

}  // namespace mixer
