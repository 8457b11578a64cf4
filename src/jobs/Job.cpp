#include "jobs/Job.h"

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

void Job::failWithHint(const QString& title, const QString& message, const QString& hint)
{
    setFailureReason(hint.isEmpty() ? message : message + QLatin1Char(' ') + hint);
    log(message);
    if (hint.isEmpty()) {
        warn(title, message);
    } else {
        log(QStringLiteral("Hint: ") + hint);
        warn(title, message + QLatin1Char(' ') + hint);
    }
    finishWith(Outcome::failed);
}

void Job::failTitled(const QString& title, const QString& text)
{
    setFailureReason(title + QStringLiteral(": ") + text);
    log(title + QStringLiteral(": ") + text);
    warn(title, text);
    finishWith(Outcome::failed);
}
