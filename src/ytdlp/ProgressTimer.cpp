// The repeating progress timer that both installers share.
#include "app/AppDelegate.h"

#include <QTimer>

void AppDelegate::startProgressTimer(int intervalMs, std::function<void(AppDelegate&)> tick)
{
    stopInstallProgressTimer();
    auto* timer = new QTimer;
    timer->setInterval(intervalMs);
    timer->setSingleShot(false);
    QPointer<AppDelegate> self(this);
    QObject::connect(timer, &QTimer::timeout, timer, [self, tick = std::move(tick)] {
        if (self)
            tick(*self);
    });
    installProgressTimer = timer;
    timer->start();  // the first tick comes one interval after the start
}
