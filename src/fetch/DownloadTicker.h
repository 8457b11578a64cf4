#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

// How much of a download has arrived, told at a steady interval while it
// runs: the size of one file, or of every file below a folder for a tool
// that downloads into a folder of its own (uv). Nothing is told while the
// path does not exist yet or holds nothing.
class DownloadTicker : public QObject {
    Q_OBJECT
public:
    explicit DownloadTicker(int intervalMs, QObject* parent = nullptr);

    // The first tick comes one interval after the start.
    void start(const QString& path);
    void stop();

    // The bytes at path: a file's size or a folder's files' sizes together
    // (links are not followed); nothing when path is missing.
    static std::optional<qint64> bytesAt(const QString& path);

signals:
    // The bytes so far, as formatFileByteCount writes them ("12.3 MB").
    void ticked(const QString& bytes);

private:
    QTimer m_timer;
    QString m_path;
};
