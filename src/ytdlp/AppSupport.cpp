// The application support folder that holds everything the app installs.
#include "app/AppDelegate.h"
#include "app/AppError.h"
#include "app/FileOps.h"

QString AppDelegate::appSupportURL() const
{
    const QString base = m_profile.appSupportBaseDir;
    if (base.isEmpty()) {
        throw AppError(QStringLiteral("FileSystem"), 0,
                       QStringLiteral("The application support folder could not be determined."));
    }
    // Like asking the platform for it with creation requested: the base
    // folder is created, "Stemloft" itself is left to the installers.
    fileops::createDirectories(base);
    return fileops::appendingComponent(fileops::fileURLPath(base), QStringLiteral("Stemloft"));
}
