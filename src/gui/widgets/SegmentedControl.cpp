#include "gui/widgets/SegmentedControl.h"

#include <QHBoxLayout>
#include <QPushButton>

SegmentedControl::SegmentedControl(const QStringList& labels, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_group.setExclusive(true);
    for (int i = 0; i < labels.size(); ++i) {
        auto* button = new QPushButton(labels.at(i), this);
        button->setCheckable(true);
        button->setAutoDefault(false);
        button->setAccessibleName(labels.at(i));
        button->setFocusPolicy(Qt::StrongFocus);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        m_group.addButton(button, i);
        layout->addWidget(button);
    }
    setFocusProxy(segmentButton(0));
}

int SegmentedControl::segmentCount() const
{
    return int(m_group.buttons().size());
}

int SegmentedControl::selectedSegment() const
{
    return m_group.checkedId();
}

void SegmentedControl::setSelectedSegment(int index)
{
    if (index < 0 || index >= segmentCount()) {
        // An exclusive group never unchecks by itself; lift it for a moment.
        m_group.setExclusive(false);
        for (QAbstractButton* button : m_group.buttons())
            button->setChecked(false);
        m_group.setExclusive(true);
        return;
    }
    m_group.button(index)->setChecked(true);
}

QPushButton* SegmentedControl::segmentButton(int index) const
{
    return qobject_cast<QPushButton*>(m_group.button(index));
}
