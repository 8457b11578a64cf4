// TEMPORARY placeholders until the download subsystem lands.
#include "app/AppDelegate.h"
void AppDelegate::startDownload() {}
void AppDelegate::appendDownloadOutput(const QString&, const QString&) {}
