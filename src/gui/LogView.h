#pragma once

#include <QPlainTextEdit>
#include <QStringList>

// The window's log: read-only entries, one a line, scrolled to the newest.
// It keeps the newest maxEntries() and marks that older ones were dropped;
// the run's log file keeps all of them.
class LogView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit LogView(QWidget* parent = nullptr);

    // Each entry as the window shows it: a line of megabytes only by its start.
    void appendEntries(const QStringList& entries);
    void clearEntries();
    int maxEntries() const { return m_maxEntries; }
    void setMaxEntries(int count) { m_maxEntries = count; }
    // The entries shown, oldest first.
    QStringList entries() const;

private:
    void dropOldEntries();

    int m_maxEntries = 200000;
    bool m_entriesDropped = false;
};
