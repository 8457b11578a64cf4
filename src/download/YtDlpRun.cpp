#include "download/YtDlpRun.h"

void YtDlpRunJob::readFailureClues(const QString& line)
{
    if (auto hint = download::hintFor(line); hint && (!m_hint || hint->rank < m_hint->rank))
        m_hint = std::move(hint);
    if (line.startsWith(QLatin1String("ERROR: ")))
        m_lastError = line.mid(7).trimmed();
}

void YtDlpRunJob::failRun(const RunResult& result)
{
    const QString message = failureMessage(result, QStringLiteral("yt-dlp"),
                                           QStringLiteral("Failed with exit code %1.").arg(result.status));
    // yt-dlp's own error names the cause; the exit code, kept in the log, does not.
    if (!m_lastError.isEmpty())
        setFailureReason(m_lastError);
    // Less yt-dlp's request to report a bug to it: a 404 is none, and the user cannot act on it.
    const QString reason = result.outcome == RunResult::Outcome::failed
                               ? shortenedText(download::withoutBugReportRequest(m_lastError), 300)
                               : QString();
    failWithHint(QStringLiteral("Download Failed"), message, m_hint ? m_hint->text : QString(), reason);
}
