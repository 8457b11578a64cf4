#pragma once

#include <QLineEdit>

// A line edit that, while it has no focus, shows long text truncated in the
// middle so both the start and the file name of a path stay visible.
class PathField : public QLineEdit {
public:
    explicit PathField(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    // The frame and shown on the one line, elided to fit.
    void paintShortened(const QString& shown, Qt::TextElideMode mode);

private:
    QRect textRect() const;
};
