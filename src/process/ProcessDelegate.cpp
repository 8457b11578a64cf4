// The controller's side of child processes: their environment, the shared
// output sink and the wiring of long runs.
#include "app/AppDelegate.h"
#include "process/ProcessRunner.h"

QProcessEnvironment AppDelegate::processEnvironment() const
{
    return childEnvironment(m_profile.appEnvironment, m_profile.fixedToolSearchPath);
}

void AppDelegate::appendProcessOutput(const QString& text)
{
    appendLogEntries(splitOutputLines(text));
}

ProcessRun* AppDelegate::makeLongRun(const QString& program, const QStringList& arguments,
                                     std::function<void(AppDelegate&, const QString&)> sink,
                                     std::function<void(AppDelegate*, int)> completion)
{
    auto* run = new ProcessRun(program, arguments, processEnvironment());
    QPointer<AppDelegate> self(this);
    run->setSink([self, sink = std::move(sink)](const QString& text) {
        if (self)
            sink(*self, text);
    });
    // The completion decides itself what to do when the controller is gone.
    run->setCompletion([self, completion = std::move(completion)](int status) {
        completion(self.data(), status);
    });
    return run;
}
