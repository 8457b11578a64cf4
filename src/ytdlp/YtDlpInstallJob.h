#pragma once

#include "jobs/Job.h"
#include "process/ChildProcess.h"

#include <QPointer>
#include <QProcessEnvironment>
#include <QTimer>

class QThread;

// Installs the managed yt-dlp and Deno, the JavaScript runtime yt-dlp needs
// for YouTube: curl downloads each release asset into the support folder and
// the finished file replaces the old one in a single rename, so a failed
// download never costs a working tool. Each download is first compared with
// the SHA-256 its release publishes (yt-dlp's list also signed, checked by
// gpgv where there is one). Deno comes as a zip, unpacked by unzip.
class YtDlpInstallJob : public Job {
    Q_OBJECT
public:
    struct Params {
        QString curl;
        QString sourceURL;
        // yt-dlp's SHA2-256SUMS, its line for assetName, and the signature
        // beside it ("SHA2-256SUMS.sig"), checked against signingKey (armored
        // or binary) by gpgv; without a gpgv only the checksum is compared.
        QString checksumsURL;
        QString assetName;
        QString gpgv;
        QByteArray signingKey;
        QString supportFolder;  // gets "yt-dlp" and "deno", and their downloads while they run
        QProcessEnvironment environment;
        int progressIntervalMs = 750;
        bool removesQuarantine = false;
        QString unzip;
        QString denoSourceURL;  // its SHA-256 is at this URL + ".sha256sum"
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
    QString checksumsFile() const;
    QString signatureFile() const;
    QString keyringFile() const;
    QString denoDestination() const;
    QString denoArchive() const;
    QString denoChecksumFile() const;
    QString denoUnpackFolder() const;

signals:
    void installed(const QString& path);

private:
    using Handler = void (YtDlpInstallJob::*)(const RunResult&);
    bool runChild(const QString& program, const QStringList& arguments, Handler done);
    bool runCurl(const QString& url, const QString& file, Handler done);
    bool startDownload(const QString& url, const QString& file, const QString& stageText, Handler done);
    void onYtDlpDownloaded(const RunResult& result);
    void onChecksumsDownloaded(const RunResult& result);
    void onSignatureDownloaded(const RunResult& result);
    void onSignatureChecked(const RunResult& result);
    void installYtDlp(bool signatureChecked);
    void installDeno();
    void onDenoDownloaded(const RunResult& result);
    void onDenoChecksumDownloaded(const RunResult& result);
    void onDenoHashed(bool matches, const QString& readError);
    void onDenoUnpacked(const RunResult& result);
    void succeed();
    void fail(const QString& message);
    void failDeno(const QString& reason);
    void finishStopped(const QStringList& debris);
    QStringList ytDlpDebris() const;
    QStringList denoDebris() const;
    void removeDenoDebris() const;
    void logProgress();
    void removeQuarantineAttribute(const QString& path, const QString& name);

    Params m_params;
    QPointer<ChildProcess> m_child;
    QPointer<QThread> m_hashing;  // Deno's archive, hashed off the window's thread
    bool m_stopRequested = false;
    QTimer m_progressTimer;
    QString m_progressFile;
    QString m_progressStage;
};
