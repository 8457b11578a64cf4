#pragma once

#include "jobs/Job.h"
#include "process/ChildProcess.h"

#include <QPointer>
#include <QProcessEnvironment>
#include <QTimer>

// Installs the managed yt-dlp and Deno, the JavaScript runtime yt-dlp needs
// for YouTube: curl downloads each release asset into the support folder and
// the finished file replaces the old one in a single rename, so a failed
// download never costs a working tool. Deno comes as a zip, unpacked by unzip.
class YtDlpInstallJob : public Job {
    Q_OBJECT
public:
    struct Params {
        QString curl;
        QString sourceURL;
        QString supportFolder;  // gets "yt-dlp" and "deno", and their downloads while they run
        QProcessEnvironment environment;
        int progressIntervalMs = 750;
        bool removesQuarantine = false;
        QString unzip;
        QString denoSourceURL;
        // Where a usable deno may already be, in order; the support folder's comes first.
        QStringList denoCandidates;
        // Downloads the managed yt-dlp, and a managed Deno, even when they exist.
        bool update = false;
    };

    explicit YtDlpInstallJob(Params params, QObject* parent = nullptr);
    ~YtDlpInstallJob() override;

    void start() override;
    void stop() override;

    QString destination() const;
    QString temporaryFile() const;
    QString denoDestination() const;
    QString denoArchive() const;
    QString denoUnpackFolder() const;

signals:
    void installed(const QString& path);

private:
    using Handler = void (YtDlpInstallJob::*)(const RunResult&);
    bool runChild(const QString& program, const QStringList& arguments, Handler done);
    bool startDownload(const QString& url, const QString& file, const QString& stageText, Handler done);
    void onYtDlpDownloaded(const RunResult& result);
    void installDeno();
    void onDenoDownloaded(const RunResult& result);
    void onDenoUnpacked(const RunResult& result);
    void succeed();
    void fail(const QString& message);
    void failDeno(const QString& reason);
    void finishStopped(const QStringList& debris);
    void removeDenoDebris() const;
    void logProgress();
    void removeQuarantineAttribute(const QString& path, const QString& name);

    Params m_params;
    QPointer<ChildProcess> m_child;
    QTimer m_progressTimer;
    QString m_progressFile;
    QString m_progressStage;
};
