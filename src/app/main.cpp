#include "base/Allocation.h"
#include "base/QuitSignals.h"
#include "cli/CommandLine.h"
#include "cli/Runner.h"
#include "gui/AppController.h"

#include <QApplication>

#include <optional>

int main(int argc, char** argv)
{
    keepLargeAllocationsMapped();
    // A command runs without a window, and without a display; the options Qt
    // and the session manager pass (-session ID on a restore) are the window's.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const std::optional<QString> stems = cli::stemsToPlay(args);
    if (cli::opensCommandLine(args))
        return cli::main(argc, argv);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Stemloft"));
    QApplication::setOrganizationName(QStringLiteral("Stemloft"));
    // Lets the desktop match the window with the installed entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.stemloft.Stemloft"));
    QApplication::setQuitOnLastWindowClosed(true);  // closing the window quits

    AppController controller(PlatformProfile::current());
    QObject::connect(&controller, &AppController::readyToQuit, &app, &QCoreApplication::quit);
    // Logout or Ctrl+C: stop the running job and clean up, without asking.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, &controller, &AppController::stopAndQuit);
    controller.applicationDidFinishLaunching();
    if (stems)
        controller.openMixer(*stems);
    // The controller goes before the application: its jobs reap their children.
    return app.exec();
}
