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
