#pragma once

#include "base/PlatformProfile.h"
#include "separation/ExportFormat.h"

#include <QSettings>
#include <QString>

#include <memory>
#include <optional>

// What the window keeps between runs and the command line reads back. Each
// key is named once, in Settings.cpp; a getter gives its default for a value
// that is missing or of another shape, so a file written by another version
// never breaks a start.
class Settings {
public:
    // The profile's file, else the platform's own store.
    explicit Settings(const PlatformProfile& profile);

    // The managed yt-dlp last installed or found.
    QString ytDlpPath() const;
    void setYtDlpPath(const QString& path);
    void clearYtDlpPath();

    // The browser yt-dlp reads cookies from, in yt-dlp's lower-case spelling;
    // empty for none, and setting it empty removes it.
    QString cookiesBrowser() const;
    void setCookiesBrowser(const QString& browser);

    // The save folder as stored when it is one text (a list or a number is
    // not a folder); written to disk at once, since a crash must not lose it.
    std::optional<QString> saveFolder() const;
    void setSaveFolder(const QString& path);

    // A format this version does not know gives AAC.
    separation::ExportFormat exportFormat() const;
    void setExportFormat(separation::ExportFormat format);

    bool bestQualityModel() const;
    void setBestQualityModel(bool on);

    bool separateAfterDownload() const;
    void setSeparateAfterDownload(bool on);

private:
    std::unique_ptr<QSettings> m_store;
};
