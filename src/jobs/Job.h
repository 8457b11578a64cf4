#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// What a job tells the user at its end: the window shows it as an alert with
// the icon of its severity, the command line as text.
struct Alert {
    enum class Severity { information, warning };
    Severity severity = Severity::information;
    QString title;
    QString text;
    bool operator==(const Alert&) const = default;
};

// text cut to at most maxChars characters, ending in "…" when it was cut.
QString shortenedText(const QString& text, int maxChars);
// The first sentence of text (up to the first ". "), at most maxChars long.
QString firstSentence(const QString& text, int maxChars = 300);

// One long step (an install, a download, a separation). A job reports only
// through its signals: the window, or a terminal, decides what to show.
// Each job emits finished() exactly once, possibly from inside start() when it
// cannot begin; the receiver deletes it later, never inside the signal.
class Job : public QObject {
    Q_OBJECT
public:
    enum class Outcome { succeeded, failed, stopped };

    explicit Job(QObject* parent = nullptr) : QObject(parent) {}

    virtual void start() = 0;
    // Ends the job early; what it half-wrote is removed before finished().
    virtual void stop() = 0;
    // What the run's log file is named after: the class without "Job" ("Download").
    virtual QString logName() const;

    bool hasFinished() const { return m_finished; }
    // Why a failed run failed, in one sentence, for a summary of many runs;
    // empty when the job gave none (its last log entry says it then).
    QString failureReason() const { return m_failureReason; }

signals:
    // The run begins: earlier entries of the log no longer belong to it.
    void logCleared();
    void logEntries(const QStringList& entries);
    // What the job does now, for a status line ("Downloading 42%").
    void stage(const QString& text);
    // 0 to 100, or -1 while no percentage is known.
    void progress(int percent);
    void alert(const Alert& alert);
    void finished(Job::Outcome outcome);

protected:
    void log(const QString& entry) { emit logEntries({entry}); }
    // The alert of a run that went as asked, and of one that did not.
    void inform(const QString& title, const QString& text) { emit alert({Alert::Severity::information, title, text}); }
    void warn(const QString& title, const QString& text) { emit alert({Alert::Severity::warning, title, text}); }
    // Emits finished() once; later calls are ignored.
    void finishWith(Outcome outcome);
    // Ends the run as failed: the log gets message and then "Hint: " + hint,
    // the alert both in one text. Without a hint, only the message. A reason
    // (the tool's own words) takes the message's place in the alert and the
    // failure reason; the message, an exit code, stays in the log.
    void failWithHint(const QString& title, const QString& message, const QString& hint,
                      const QString& reason = {});
    // Ends the run as failed where the title names what failed: the log and
    // the failure reason read "TITLE: TEXT", the alert shows TEXT under TITLE.
    void failTitled(const QString& title, const QString& text);
    // The first reason given wins: it is the closest to the cause.
    void setFailureReason(const QString& reason);

private:
    bool m_finished = false;
    QString m_failureReason;
};
