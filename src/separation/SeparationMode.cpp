#include "separation/SeparationMode.h"

SeparationMode SeparationMode::fromSegment(int selectedSegment)
{
    return SeparationMode{selectedSegment == 0 ? fourStems : sixStems};
}

QStringList SeparationMode::stems() const
{
    QStringList names = {QStringLiteral("vocals"), QStringLiteral("drums"), QStringLiteral("bass"),
                         QStringLiteral("other")};
    if (kind == sixStems)
        names << QStringLiteral("guitar") << QStringLiteral("piano");
    return names;
}

QString SeparationMode::demucsModel() const
{
    if (kind == sixStems)
        return QStringLiteral("htdemucs_6s");
    return bestQuality ? QStringLiteral("htdemucs_ft") : QStringLiteral("htdemucs");
}

QString SeparationMode::modeLabel() const
{
    return kind == fourStems ? QStringLiteral("4stems") : QStringLiteral("6stems");
}
