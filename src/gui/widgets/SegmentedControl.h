#pragma once

#include <QButtonGroup>
#include <QStringList>
#include <QWidget>

class QPushButton;

// A row of exclusive, joined segments. Each segment is its own checkable
// button, so keyboard users and screen readers reach it under its label.
class SegmentedControl : public QWidget {
    Q_OBJECT
public:
    explicit SegmentedControl(const QStringList& labels, QWidget* parent = nullptr);

    int segmentCount() const;
    // -1 when no segment is selected.
    int selectedSegment() const;
    void setSelectedSegment(int index);
    QPushButton* segmentButton(int index) const;

private:
    QButtonGroup m_group;
};
