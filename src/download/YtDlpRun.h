#pragma once

#include "download/DownloadOutput.h"
#include "jobs/Job.h"
#include "process/ChildProcess.h"

#include <optional>

// A job that runs yt-dlp (a download, a listing): what its output says
// about a failure, and a failed run told the same way by each.
class YtDlpRunJob : public Job {
    Q_OBJECT
public:
    using Job::Job;

protected:
    // Keeps the most telling hint and the last "ERROR:" line of yt-dlp's output.
    void readFailureClues(const QString& line);
    // Ends the job after a run that exited with a failure: the alert
    // "Download Failed" with yt-dlp's own error as the reason.
    void failRun(const RunResult& result);

private:
    std::optional<download::Hint> m_hint;
    QString m_lastError;  // without the prefix
};
