#include "app/AppDelegate.h"

using Mode = AppDelegate::SeparationMode;

Mode Mode::fromSegment(int selectedSegment)
{
    return Mode{selectedSegment == 0 ? fourStems : sixStems};
}

QStringList Mode::stems() const
{
    QStringList names = {QStringLiteral("vocals"), QStringLiteral("drums"), QStringLiteral("bass"),
                         QStringLiteral("other")};
    if (kind == sixStems)
        names << QStringLiteral("guitar") << QStringLiteral("piano");
    return names;
}

QString Mode::demucsModel() const
{
    return kind == fourStems ? QStringLiteral("htdemucs") : QStringLiteral("htdemucs_6s");
}

QString Mode::modeLabel() const
{
    return kind == fourStems ? QStringLiteral("4stems") : QStringLiteral("6stems");
}
