#pragma once

#include "fetch/DownloadTicker.h"
#include "process/ChildProcess.h"

#include <QPointer>
#include <QProcessEnvironment>

class QThread;

namespace fetch {

// curl's arguments for one download: redirects followed, an HTTP error a
// failure, and only errors printed.
QStringList curlArguments(const QString& url, const QString& file);

// The child of a job's next step, not yet started, in slot; the last step's
// child, which ended inside its own signal, is deleted later. Its output
// goes to output as it comes.
ChildProcess* newStep(QObject* owner, QPointer<ChildProcess>& slot, const QString& program,
                      const QStringList& arguments, const QProcessEnvironment& environment,
                      std::function<void(const QString&)> output);

}  // namespace fetch

// One program out of a release archive: curl downloads the archive and the
// SHA-256 published beside it, the archive is hashed off the caller's
// thread, unzip or tar takes out only the program, and the program replaces
// the old one in a single rename, so a failed or stopped download never
// costs a working tool. The downloads sit beside the destination while they
// run and go whatever the end.
class ToolDownload : public QObject {
    Q_OBJECT
public:
    struct Params {
        QString name;         // "Deno", "uv": as the texts name the tool
        QString curl;
        QString archiveURL;   // ending in ".zip" (unpacked by unzip) or ".tar.gz" (by tar)
        // The SHA-256 text published beside the archive: its URL is the
        // archive's with this appended (".sha256sum" for Deno, ".sha256" for uv).
        QString checksumSuffix;
        QString unpacker;     // unzip or tar
        QString member;       // the program's path inside the archive
        QString destination;  // the program's place
        QProcessEnvironment environment;
        int progressIntervalMs = 750;
    };
    enum class Outcome { installed, failed, stopped };

    explicit ToolDownload(Params params, QObject* parent = nullptr);
    // Kills a running step and removes what it downloaded.
    ~ToolDownload() override;

    void start();
    void stop();

    // What a failed curl run reads as.
    static QString curlFailure(const RunResult& result);

    QString archiveFile() const;
    QString checksumFile() const;
    QString unpackFolder() const;

signals:
    void logEntries(const QStringList& lines);
    // The archive's bytes so far ("12.3 MB"), at the progress interval.
    void downloaded(const QString& bytes);
    // reason says what failed, as a sentence; empty unless the outcome is failed.
    void finished(ToolDownload::Outcome outcome, const QString& reason);

private:
    using Handler = void (ToolDownload::*)(const RunResult&);
    bool runChild(const QString& program, const QStringList& arguments, Handler done);
    bool runCurl(const QString& url, const QString& file, Handler done);
    void onArchiveDownloaded(const RunResult& result);
    void onChecksumDownloaded(const RunResult& result);
    void onHashed(bool matches, const QString& readError);
    void onUnpacked(const RunResult& result);
    bool usesZip() const;
    QString archiveSuffix() const;
    QString unpackerName() const;
    void end(Outcome outcome, const QString& reason = {});
    void removeDebris() const;

    Params m_params;
    QPointer<ChildProcess> m_child;
    QPointer<QThread> m_hashing;
    DownloadTicker m_ticker;
    QString m_childOutput;
    bool m_stopRequested = false;
    bool m_running = false;
};
