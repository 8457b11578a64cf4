#include "jobs/Job.h"

#include <algorithm>

void Job::finishWith(Outcome outcome)
{
    if (m_finished)
        return;
    m_finished = true;
    emit finished(outcome);
}

void Job::setFailureReason(const QString& reason)
{
    if (m_failureReason.isEmpty())
        m_failureReason = reason;
}

void Job::failWithHint(const QString& title, const QString& message, const QString& hint, const QString& reason)
{
    QString told = reason.isEmpty() ? message : reason;
    // A tool's words need not end a sentence; the hint starts one.
    if (!hint.isEmpty() && !told.isEmpty() && !QStringLiteral(".!?\u2026").contains(told.back()))
        told += QLatin1Char('.');
    const QString text = hint.isEmpty() ? told : told + QLatin1Char(' ') + hint;
    setFailureReason(text);
    log(message);
    if (!hint.isEmpty())
        log(QStringLiteral("Hint: ") + hint);
    warn(title, text);
    finishWith(Outcome::failed);
}

QString shortenedText(const QString& text, int maxChars)
{
    if (text.size() <= maxChars)
        return text;
    QString cut = text.left(std::max(0, maxChars - 1));
    // Not between the two halves of a surrogate pair.
    if (!cut.isEmpty() && cut.back().isHighSurrogate())
        cut.chop(1);
    return cut.trimmed() + QChar(0x2026);
}

QString firstSentence(const QString& text, int maxChars)
{
    const qsizetype end = text.indexOf(QLatin1String(". "));
    return shortenedText(end < 0 ? text : text.left(end + 1), maxChars);
}

void Job::failTitled(const QString& title, const QString& text)
{
    setFailureReason(title + QStringLiteral(": ") + text);
    log(title + QStringLiteral(": ") + text);
    warn(title, text);
    finishWith(Outcome::failed);
}

QString Job::logName() const
{
    QString name = QString::fromLatin1(metaObject()->className());
    if (name.endsWith(QLatin1String("Job")))
        name.chop(3);
    return name.isEmpty() ? QStringLiteral("Task") : name;
}
