#include "gui/widgets/UrlField.h"

#include "batch/Inputs.h"

#include <QLocale>

#include <limits>

namespace {

// Enough to recognise a list at a glance; a tool tip taller than the screen helps nobody.
constexpr int toolTipLinks = 20;

QString countText(int count)
{
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(count);
}

}  // namespace

UrlField::UrlField(QWidget* parent) : PathField(parent)
{
    // A line edit keeps 32,767 characters and drops the rest of a paste
    // without a word; a list of thousands of links is longer than that.
    setMaxLength(std::numeric_limits<int>::max());
    connect(this, &QLineEdit::textChanged, this, &UrlField::recount);
}

QString UrlField::linksText(int count)
{
    return count == 1 ? QStringLiteral("1 link") : countText(count) + QStringLiteral(" links");
}

int UrlField::linksIn(const QString& text)
{
    return int(batch::parseUrlList(text).urls.size());
}

void UrlField::replaceText(const QString& text)
{
    selectAll();
    insert(text);
}

void UrlField::recount()
{
    const QStringList links = batch::parseUrlList(text()).urls;
    const int count = int(links.size());
    if (count < 2) {
        setToolTip(QString());
    } else {
        QStringList lines{linksText(count) + QLatin1Char(':')};
        lines += links.mid(0, toolTipLinks);
        if (count > toolTipLinks)
            lines << QStringLiteral("and %1 more").arg(countText(count - toolTipLinks));
        setToolTip(lines.join(QLatin1Char('\n')));
    }
    if (count == m_linkCount)
        return;
    m_linkCount = count;
    update();
    emit linkCountChanged(count);
}

void UrlField::paintEvent(QPaintEvent* event)
{
    // While the user edits, the links themselves; otherwise their count.
    if (hasFocus() || m_linkCount < 2)
        PathField::paintEvent(event);
    else
        paintShortened(summary(), Qt::ElideRight);
}
