#pragma once

// What a command shows in the terminal: log, alerts, the progress line.

#include <QElapsedTimer>
#include <QIODevice>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// What a run without a window shows: the log on standard output, alerts and
// a progress line on standard error.
namespace cli {

// "1:12", "1:02:03"
QString durationText(qint64 seconds);
// "Separating: Demucs 57% [#####.....] 1:12 left": the bar only with a
// percentage, the time only when it is known.
QString progressLine(const QString& stage, int percent, std::optional<qint64> secondsLeft);

// What a job's log entry is to the terminal: a line of the log, an error
// (a queue's "Failed: NAME (reason)", a file that is not there), or a tool's
// progress that only repeats what the progress line shows (Demucs's bar,
// yt-dlp's "[download]  42.3% of ...", pip's "Progress N of M").
enum class EntryKind { log, error, progress };
EntryKind entryKind(const QString& entry);

// The time left of a percentage that grows: extrapolated from how fast it has
// grown since it last started over (a new item, a step back, a new stage).
class TimeLeft {
public:
    void update(qint64 nowMs, int percent);
    // The next update starts over: a stage that goes at a pace of its own
    // (a quick conversion before minutes of Demucs, quick encodes after).
    void restart() { m_startPercent = -1; }
    std::optional<qint64> secondsLeft() const;

private:
    qint64 m_startMs = 0;
    int m_startPercent = -1;
    qint64 m_lastMs = 0;
    int m_percent = -1;
};

// Standard output or standard error, written straight to its descriptor.
// It knows when its reader went away (EPIPE, with SIGPIPE ignored), and from
// then on writes nothing.
class StandardStream : public QIODevice {
public:
    explicit StandardStream(int fd);
    bool readerGone() const { return m_readerGone; }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override;

private:
    const int m_fd;
    bool m_readerGone = false;
};

class Terminal {
public:
    // drawProgress: standard error is a terminal of columns columns.
    Terminal(QIODevice& out, QIODevice& err, bool drawProgress, int columns = 80);

    // Called once, the first time a write finds that out's or err's reader
    // went away. Nothing more is written to that one.
    std::function<void()> onReaderGone;

    // A job's log: errors go to err; progress lines are left out while the
    // progress line is drawn, so the screen keeps one line of them.
    void logEntries(const QStringList& entries);
    void alert(const QString& title, const QString& text);
    // One line on out as it is (JSON, a report).
    void outputLine(const QString& text);
    void errorLine(const QString& text);
    void stage(const QString& text);
    void progress(int percent);
    // Takes the progress line off the screen, for the end of a run.
    void endProgress();

private:
    void write(QIODevice& device, const QString& text);
    void draw();
    void erase();

    QIODevice& m_out;
    QIODevice& m_err;
    bool m_outGone = false;
    bool m_errGone = false;
    const bool m_drawProgress;
    const int m_columns;
    QString m_stage;
    QString m_stageShape;  // the stage without its numbers
    int m_percent = -1;
    TimeLeft m_timeLeft;
    QElapsedTimer m_clock;
    qsizetype m_drawnWidth = 0;
};

}  // namespace cli
