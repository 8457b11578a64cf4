#pragma once

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

// A run's log outlives the window's view of it: the view keeps only the end
// of a long run and shortens very long lines, the file keeps every entry.
namespace logs {

// Entries longer than this are shortened in the view.
constexpr qsizetype maxDisplayedCharacters = 4096;
// The view's first line once older entries were dropped.
QString droppedEntriesNote();

// The entry as the view shows it: at most maxChars characters, then
// " … (N more characters)". A surrogate pair is never split.
QString displayEntry(const QString& entry, qsizetype maxChars = maxDisplayedCharacters);

// The file name of a run that started at startedAt:
// "2026-12-07_12-55-03-042 Download.log". Names sort in the order the runs started.
QString runLogFileName(const QDateTime& startedAt, const QString& kind);

// Removes the oldest run logs ("*.log") of folder so that keep remain.
// Returns the removed paths.
QStringList removeOldRunLogs(const QString& folder, int keep);

// One run's log file: one entry a line, UTF-8, written as the entries come,
// so a crash loses nothing already shown.
class RunLogFile {
public:
    // Creates a new file in folder (created too); false when it cannot,
    // with errorString() saying why.
    bool open(const QString& folder, const QString& kind, const QDateTime& startedAt);
    void write(const QStringList& entries);
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    QString path() const { return m_file.fileName(); }
    QString errorString() const { return m_error; }

private:
    QFile m_file;
    QString m_error;
};

}  // namespace logs
