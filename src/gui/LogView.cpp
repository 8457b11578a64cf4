#include "gui/LogView.h"

#include "logs/RunLog.h"

#include <QFontDatabase>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

LogView::LogView(QWidget* parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    document()->setDocumentMargin(10);
    setAccessibleName(QStringLiteral("Log"));
    setFocusPolicy(Qt::StrongFocus);
    // Entries are the program's record, not the user's edits: Undo never removes them.
    setUndoRedoEnabled(false);
}

void LogView::appendEntries(const QStringList& entries)
{
    if (entries.isEmpty())
        return;
    // Laying out a line of megabytes takes the window for seconds: the view
    // shows its start, the log file all of it.
    QStringList shown;
    shown.reserve(entries.size());
    for (const QString& entry : entries)
        shown << logs::displayEntry(entry);
    // One insertion for many entries: a chatty child's chunk costs one layout
    // pass instead of one per line.
    QString joined = shown.join(QLatin1Char('\n'));
    if (!document()->isEmpty())
        joined.prepend(QLatin1Char('\n'));
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(joined, QTextCharFormat());
    dropOldEntries();
    QScrollBar* bar = verticalScrollBar();
    bar->setValue(bar->maximum());
}

void LogView::dropOldEntries()
{
    // Removed per insertion with one cursor: measured faster for a flood of
    // lines than the document's own block limit, which slows every insertion.
    QTextDocument* doc = document();
    const int kept = m_entriesDropped ? 1 : 0;  // the note line stays
    const int excess = doc->blockCount() - kept - m_maxEntries;
    if (excess <= 0)
        return;
    QTextCursor cursor(doc->findBlockByNumber(kept));
    cursor.setPosition(doc->findBlockByNumber(kept + excess).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    if (!m_entriesDropped) {
        cursor.movePosition(QTextCursor::Start);
        cursor.insertText(logs::droppedEntriesNote() + QLatin1Char('\n'), QTextCharFormat());
        m_entriesDropped = true;
    }
}

void LogView::clearEntries()
{
    clear();
    m_entriesDropped = false;
}

QStringList LogView::entries() const
{
    const QString text = toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}
