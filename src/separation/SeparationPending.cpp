// TEMPORARY placeholders until the separation subsystem lands.
#include "app/AppDelegate.h"
AppDelegate::SeparationMode AppDelegate::SeparationMode::fromSegment(int s) { return {s == 0 ? fourStems : sixStems}; }
QStringList AppDelegate::SeparationMode::stems() const { return {}; }
QString AppDelegate::SeparationMode::demucsModel() const { return {}; }
QString AppDelegate::SeparationMode::modeLabel() const { return {}; }
void AppDelegate::startSeparation() {}
QString AppDelegate::prepareDemucsInput(const QString&, const QString&) { return {}; }
void AppDelegate::convertAudioToWav(const QString&, const QString&) const {}
void AppDelegate::convertWavToM4a(const QString&, const QString&) const {}
void AppDelegate::finishSeparation(const QString&, const QString&, SeparationMode) {}
QString AppDelegate::saveDemucsOutput(const QString&, const QString&, SeparationMode) { return {}; }
