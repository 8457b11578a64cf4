#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QObject;
class QThread;

namespace fileops {

// work on a worker thread, then done on context's thread, unless context is
// gone by then. The returned thread deletes itself; wait() on it to be sure
// the work is over.
QThread* runInBackground(std::function<void()> work, QObject* context, std::function<void()> done);
// removeItem on a worker thread: a tree of many large files takes the disk
// long enough to freeze a window. done gets the error text (empty when it
// worked) on context's thread, unless context is gone by then. The returned
// thread deletes itself; wait() on it to be sure the removal is over.
QThread* removeItemInBackground(const QString& path, QObject* context, std::function<void(QString error)> done);
// removeItemQuietly of each path on a worker thread, then done on context's
// thread, unless context is gone by then.
QThread* removeItemsQuietlyInBackground(const QStringList& paths, QObject* context, std::function<void()> done);

}  // namespace fileops
