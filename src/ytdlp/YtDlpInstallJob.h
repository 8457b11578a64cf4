#pragma once

#include "jobs/Job.h"
#include "process/ChildProcess.h"

#include <QProcessEnvironment>
#include <QTimer>

// Installs the managed yt-dlp: curl downloads the release asset into the
// support folder, the finished file replaces the old one in a single rename.
class YtDlpInstallJob : public Job {
    Q_OBJECT
public:
    struct Params {
        QString curl;
        QString sourceURL;
        QString supportFolder;  // gets "yt-dlp" and, while it downloads, "yt-dlp.download"
        QProcessEnvironment environment;
        int progressIntervalMs = 750;
        bool removesQuarantine = false;
    };

    explicit YtDlpInstallJob(Params params, QObject* parent = nullptr);
    ~YtDlpInstallJob() override;

    void start() override;
    void stop() override;

    QString destination() const;
    QString temporaryFile() const;

signals:
    void installed(const QString& path);

private:
    void onFinished(const RunResult& result);
    void fail(const QString& message);
    void logProgress();
    void removeQuarantineAttribute(const QString& path);

    Params m_params;
    ChildProcess m_child;
    QTimer m_progressTimer;
};
