#include "app/AppDelegate.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Stemloft"));
    QApplication::setOrganizationName(QStringLiteral("Stemloft"));
    QApplication::setQuitOnLastWindowClosed(true);  // closing the window quits

    static AppDelegate* delegate = new AppDelegate(PlatformProfile::current());
    delegate->applicationDidFinishLaunching();
    return app.exec();
}
