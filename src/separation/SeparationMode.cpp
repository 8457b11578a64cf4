#include "separation/SeparationMode.h"

namespace {

const QString instrumental = QStringLiteral("instrumental");

}  // namespace

SeparationMode SeparationMode::fromSegment(int selectedSegment)
{
    switch (selectedSegment) {
    case 0:
        return SeparationMode{twoStems};
    case 1:
        return SeparationMode{fourStems};
    default:
        return SeparationMode{sixStems};
    }
}

SeparationMode SeparationMode::fromStemCount(int stems)
{
    return fromSegment(stems == 2 ? 0 : stems == 4 ? 1 : 2);
}

QStringList SeparationMode::stems() const
{
    if (kind == twoStems)
        return {QStringLiteral("vocals"), instrumental};
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
    switch (kind) {
    case twoStems:
        return QStringLiteral("2stems");
    case fourStems:
        return QStringLiteral("4stems");
    case sixStems:
        break;
    }
    return QStringLiteral("6stems");
}

QStringList SeparationMode::demucsOptions() const
{
    if (kind == twoStems)
        return {QStringLiteral("--two-stems"), QStringLiteral("vocals")};
    return {};
}

QString SeparationMode::demucsStemName(const QString& stem)
{
    return stem == instrumental ? QStringLiteral("no_vocals") : stem;
}
