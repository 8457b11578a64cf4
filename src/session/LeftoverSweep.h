#pragma once

#include "separation/Leftovers.h"

#include <QString>

#include <functional>

class QObject;
class QThread;

// Removes what killed runs left behind, wherever a run is started: Demucs's
// output roots and mixers' decoded stems in tempDir, download folders in
// saveFolder and the debris in its stems folders, each only once its owner
// is gone. Takes as long as the disk needs: call it on a worker thread.
leftovers::Swept sweepLeftovers(const QString& tempDir, const QString& saveFolder);
// sweepLeftovers on a worker thread; done gets what went, on context's
// thread, unless context is gone. The thread deletes itself; wait() on it to
// be sure the sweep is over.
QThread* sweepLeftoversInBackground(const QString& tempDir, const QString& saveFolder, QObject* context,
                                    std::function<void(leftovers::Swept)> done);
