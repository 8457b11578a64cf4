#pragma once

// Turning what a child writes into log text: lines, UTF-8 across reads.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

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
    // The line begun and not yet ended (a progress bar redrawn after "\r"
    // has no end until the next one): held for the log, readable at once.
    const QString& unfinished() const { return m_tail; }

private:
    QByteArray m_pendingBytes;  // an incomplete UTF-8 character
    QString m_tail;
    qsizetype m_maxTail;
};
