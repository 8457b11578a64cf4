#pragma once

#include "fetch/DownloadTicker.h"
#include "fetch/ToolDownload.h"
#include "jobs/Job.h"
#include "process/ChildProcess.h"

#include <QPointer>
#include <QProcessEnvironment>

// Installs the managed yt-dlp and Deno, the JavaScript runtime yt-dlp needs
// for YouTube: curl downloads each release asset into the support folder and
// the finished file replaces the old one in a single rename, so a failed
// download never costs a working tool. Each download is first compared with
// the SHA-256 its release publishes (yt-dlp's list also signed, checked by
// gpgv where there is one). Deno comes as a zip (ToolDownload).
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

    // yt-dlp's release signing key (armored), as yt-dlp publishes it.
    static QByteArray signingKey();

signals:
    void installed(const QString& path);

private:
    using Handler = void (YtDlpInstallJob::*)(const RunResult&);
    bool runChild(const QString& program, const QStringList& arguments, Handler done);
    bool runCurl(const QString& url, const QString& file, Handler done);
    void onYtDlpDownloaded(const RunResult& result);
    void onChecksumsDownloaded(const RunResult& result);
    void onSignatureDownloaded(const RunResult& result);
    void onSignatureChecked(const RunResult& result);
    void installYtDlp(bool signatureChecked);
    void installDeno();
    void onDenoFinished(ToolDownload::Outcome outcome, const QString& reason);
    void succeed();
    void fail(const QString& message);
    void failDeno(const QString& reason);
    void finishStopped(const QStringList& debris);
    QStringList ytDlpDebris() const;
    void logProgress(const QString& stageText, const QString& bytes);
    void removeQuarantineAttribute(const QString& path, const QString& name);

    Params m_params;
    QPointer<ChildProcess> m_child;
    QPointer<ToolDownload> m_deno;
    DownloadTicker m_ticker;
};
