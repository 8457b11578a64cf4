#pragma once

#include "gui/widgets/PathField.h"

#include <QString>

// The URL field: one line for one link, and a list of any length when several
// are pasted. The text is never cut short; while the field has no focus a
// list shows as its count ("5,000 links") with the first links in the tool tip.
class UrlField : public PathField {
    Q_OBJECT
public:
    explicit UrlField(QWidget* parent = nullptr);

    // The links of the text as a download queues them: each once.
    int linkCount() const { return m_linkCount; }
    // "5,000 links"; empty for fewer than two.
    QString summary() const { return m_linkCount < 2 ? QString() : linksText(m_linkCount); }
    // "1 link", "5,000 links".
    static QString linksText(int count);
    // How many links a download of text queues.
    static int linksIn(const QString& text);
    // Replaces the text as an edit, so Undo brings the old one back.
    void replaceText(const QString& text);

signals:
    void linkCountChanged(int count);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void recount();

    int m_linkCount = 0;
};
