#include "session/LeftoverSweep.h"

#include "base/Background.h"
#include "download/DownloadOutput.h"
#include "mixer/StemLoader.h"
#include "process/Ownership.h"

#include <QDateTime>

#include <memory>

leftovers::Swept sweepLeftovers(const QString& tempDir, const QString& saveFolder)
{
    const QDateTime now = QDateTime::currentDateTime();
    QStringList folders = leftovers::abandonedOutputRoots(tempDir, now);
    // A mixer's decoded stems: hundreds of MB for a song.
    folders << ownership::abandonedFolders(tempDir, mixer::cacheFolderPrefix, now);
    if (!saveFolder.isEmpty())
        folders << download::abandonedPrivateFolders(saveFolder, now);
    leftovers::Swept swept = leftovers::sweepStemsFolders(saveFolder, now);
    swept.items += int(folders.size());
    swept.bytes += leftovers::removeLeftovers(folders);
    return swept;
}

QThread* sweepLeftoversInBackground(const QString& tempDir, const QString& saveFolder, QObject* context,
                                    std::function<void(leftovers::Swept)> done)
{
    auto swept = std::make_shared<leftovers::Swept>();
    return fileops::runInBackground([tempDir, saveFolder, swept] { *swept = sweepLeftovers(tempDir, saveFolder); },
                                    context, [swept, done = std::move(done)] { done(*swept); });
}
