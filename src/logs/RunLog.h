#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

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

// One run's log file: one entry a line, UTF-8. Entries are encoded and
// written on a thread of its own, so a line of megabytes or a flood of lines
// costs the caller a queue operation; each batch is on disk moments after it
// was shown, so a crash loses next to nothing.
class RunLogFile {
public:
    RunLogFile() = default;
    ~RunLogFile();
    RunLogFile(const RunLogFile&) = delete;
    RunLogFile& operator=(const RunLogFile&) = delete;

    // Creates a new file in folder (created too); false when it cannot,
    // with errorString() saying why.
    bool open(const QString& folder, const QString& kind, const QDateTime& startedAt);
    void write(const QStringList& entries);
    // Waits until everything written is in the file, then closes it.
    void close();
    bool isOpen() const { return m_fd >= 0; }
    QString path() const { return m_path; }
    QString errorString() const { return m_error; }

private:
    void writeQueued();
    void writeAll(const QByteArray& bytes);

    int m_fd = -1;
    QString m_path;
    QString m_error;
    std::thread m_writer;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<QStringList> m_queue;
    bool m_closing = false;
};

}  // namespace logs
