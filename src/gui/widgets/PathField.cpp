#include "gui/widgets/PathField.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

PathField::PathField(QWidget* parent) : QLineEdit(parent) {}

void PathField::paintEvent(QPaintEvent* event)
{
    const QString full = text();
    if (hasFocus() || full.isEmpty() || echoMode() != QLineEdit::Normal) {
        QLineEdit::paintEvent(event);
        return;
    }
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QRect textRect = style()->subElementRect(QStyle::SE_LineEditContents, &option, this)
                               .adjusted(2 + textMargins().left(), 0, -2 - textMargins().right(), 0);
    if (fontMetrics().horizontalAdvance(full) <= textRect.width()) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    painter.setClipRect(textRect);
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                     fontMetrics().elidedText(full, Qt::ElideMiddle, textRect.width()));
}
