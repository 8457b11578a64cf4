#include "gui/widgets/PathField.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace {

// As the line edit shows it: line breaks and other control characters as
// spaces. QPainter would break the line there and draw rows the field cuts off.
QString oneLine(QString text)
{
    for (QChar& c : text) {
        if ((c.unicode() < 0x20 && c != QLatin1Char('\t')) || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    }
    return text;
}

}  // namespace

PathField::PathField(QWidget* parent) : QLineEdit(parent) {}

QRect PathField::textRect() const
{
    QStyleOptionFrame option;
    initStyleOption(&option);
    return style()->subElementRect(QStyle::SE_LineEditContents, &option, this)
        .adjusted(2 + textMargins().left(), 0, -2 - textMargins().right(), 0);
}

void PathField::paintEvent(QPaintEvent* event)
{
    const QString full = text();
    if (hasFocus() || full.isEmpty() || echoMode() != QLineEdit::Normal ||
        fontMetrics().horizontalAdvance(oneLine(full)) <= textRect().width()) {
        QLineEdit::paintEvent(event);
        return;
    }
    paintShortened(oneLine(full), Qt::ElideMiddle);
}

void PathField::paintShortened(const QString& shown, Qt::TextElideMode mode)
{
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QRect rect = textRect();
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    painter.setClipRect(rect);
    painter.drawText(rect, Qt::AlignVCenter | Qt::AlignLeft, fontMetrics().elidedText(shown, mode, rect.width()));
}
