#include "base/Background.h"

#include "base/AppError.h"
#include "base/FileOps.h"

#include <QThread>

#include <memory>

namespace fileops {

QThread* runInBackground(std::function<void()> work, QObject* context, std::function<void()> done)
{
    QThread* thread = QThread::create(std::move(work));
    QObject::connect(thread, &QThread::finished, context, std::move(done));
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    return thread;
}

QThread* removeItemInBackground(const QString& path, QObject* context, std::function<void(QString error)> done)
{
    auto error = std::make_shared<QString>();
    return runInBackground(
        [path, error] {
            try {
                removeItem(path);
            } catch (const AppError& e) {
                *error = e.localizedDescription();
            }
        },
        context, [error, done = std::move(done)] { done(*error); });
}

QThread* removeItemsQuietlyInBackground(const QStringList& paths, QObject* context, std::function<void()> done)
{
    return runInBackground(
        [paths] {
            for (const QString& path : paths)
                removeItemQuietly(path);
        },
        context, std::move(done));
}

}  // namespace fileops
