// TEMPORARY placeholders until the Demucs environment subsystem lands.
#include "app/AppDelegate.h"
std::optional<QString> AppDelegate::findSystemPython3() const { return {}; }
bool AppDelegate::isUsablePythonForDemucs(const QString&) const { return false; }
QString AppDelegate::pythonVersionDescription(const QString&) const { return {}; }
void AppDelegate::installDemucs() {}
void AppDelegate::startDemucsInstallProgressTimer() {}
