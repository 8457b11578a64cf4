#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace separation {

// The percentage of a Demucs progress-bar line (" 57%|#####     | 3.2/5.9"),
// the number before the first "|"; nothing for any other line.
std::optional<int> demucsBarPercent(QStringView line);

// A separation's stages and their share of the whole: conversion 5,
// Demucs 80, encodes 15.
enum class SeparationStage { converting, demucs, encoding };

// Overall percentage (0 to 100) for a stage and the fraction of it done
// (clamped to 0..1). A WAV input skips the conversion; its share counts as done.
int separationPercent(SeparationStage stage, double fractionDone);

}  // namespace separation
