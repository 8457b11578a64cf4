#pragma once

#include "download/DownloadOutput.h"
#include "download/YtDlpRun.h"
#include "process/ChildProcess.h"

#include <QProcessEnvironment>

// The Start action's run: yt-dlp fetches the best audio of a URL into the
// save folder; the file it reports becomes the current audio file.
class DownloadJob : public YtDlpRunJob {
    Q_OBJECT
public:
    struct Params {
        QString executable;
        QString url;
        QString saveFolder;  // exactly as shown
        QProcessEnvironment environment;
        bool saveFolderDefaulted = false;  // none was set; saveFolder is the default
        QString cookiesBrowser = QString();  // as the Cookies menu names it ("Firefox"); empty for none
    };

    explicit DownloadJob(Params params, QObject* parent = nullptr);
    ~DownloadJob() override;

    void start() override;
    void stop() override;

    // yt-dlp's argument vector for a URL, run in the save folder with its
    // temporary files in privateFolder (a name relative to it); a browser
    // adds "--cookies-from-browser" with its name in lower case.
    static QStringList arguments(const QString& url, const QString& privateFolder,
                                 const QString& cookiesBrowser = QString());

    // yt-dlp reported a playlist and downloaded none of it: its entries are
    // for a listing to give (the run failed, without an alert).
    bool foundPlaylist() const { return m_playlist && m_file.isEmpty(); }

    // The run's own folder for yt-dlp's partial files; empty before it started.
    QString privateFolder() const { return m_privateFolder; }

signals:
    // The downloaded file, as soon as yt-dlp reports it; empty when a
    // stopped run takes it back.
    void audioFile(const QString& path);

private:
    void handleOutput(const QString& text);
    void onFinished(const RunResult& result);
    void removePrivateFolder();

    Params m_params;
    download::DownloadedFileMatcher m_matcher;
    ChildProcess m_child;
    QString m_file;
    QString m_privateFolder;
    int m_lastPercent = -1;
    bool m_playlist = false;
};
