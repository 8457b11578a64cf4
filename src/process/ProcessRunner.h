#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

// The child's environment: the application's own, with the fixed tool search
// path appended to PATH (an existing PATH keeps precedence, even when empty).
QProcessEnvironment childEnvironment(const QProcessEnvironment& appEnvironment,
                                     const QString& fixedToolSearchPath);

// The log lines of one piece of output: carriage returns become line feeds,
// the pieces are trimmed and the empty ones dropped.
QStringList splitOutputLines(const QString& text);

// The whole output of a finished child as text, or nothing when it is not
// valid UTF-8 (an incomplete character at the end included).
std::optional<QString> decodeUtf8(const QByteArray& bytes);

// Turns a child's byte stream into text that ends at line boundaries.
// UTF-8 is decoded across reads (a character split between two reads is
// joined, bytes that are not UTF-8 become U+FFFD), and a line split between
// two reads is held until its end arrives, so a long line stays one entry.
// The held tail is bounded, so a child that never ends a line cannot grow
// memory without limit.
class OutputAssembler {
public:
    static constexpr qsizetype defaultMaxTail = 16 * 1024 * 1024;

    explicit OutputAssembler(qsizetype maxTail = defaultMaxTail);

    // Text ending at a line feed or carriage return, or empty when none yet.
    QString feed(const QByteArray& bytes);
    // Whatever is held when the stream has ended.
    QString finish();

private:
    QByteArray m_pendingBytes;  // an incomplete UTF-8 character
    QString m_tail;
    qsizetype m_maxTail;
};

// Blocks of a megabyte and more get pages of their own from the system
// (glibc otherwise raises that limit as it goes). A child's line of
// megabytes then grows in place as it is read, instead of being copied at
// each growth in one go, which held the window for tens of milliseconds.
// Called once, first thing in main().
void keepLargeAllocationsMapped();

// Exit status as the rest of the program sees it: the exit code of a normal
// exit; for a child ended by a signal, the signal number (never 0).
int terminationStatus(const QProcess& process);

// The fields of /proc/PID/stat from field 3 (the state) on, so index 0 is the
// state and 2 the process group; empty when it cannot be read or off Linux.
QList<QByteArray> procStatFields(qint64 pid);

// "SIGKILL" for 9 and the other common signals; empty for one it does not know.
QString signalName(int signal);

// How a child ended by a signal is reported, so it is never read as an exit
// code: "TOOL was stopped by signal 15 (SIGTERM)." SIGKILL from anyone but
// us is almost always the kernel's out-of-memory killer, and says so.
QString signalMessage(const QString& tool, int signal);
