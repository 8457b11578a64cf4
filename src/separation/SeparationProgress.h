#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace separation {

// The percentage of a Demucs progress-bar line (" 57%|#####     | 3.2/5.9"),
// the number before the first "|"; nothing for any other line.
std::optional<int> demucsBarPercent(QStringView line);

// Reads Demucs's output, line by line (a bar not yet ended included), for
// what the status row shows. A bag of N models prints one bar per model: the
// bars together are one climb, bar k of N covering (k-1+p)/N. torch.hub's
// download bars (byte units) come before any separation and are the model
// download's, several files together one climb too. Several tracks in one
// run print their bars in turn: all of them are still one climb.
class DemucsProgress {
public:
    // downloads: how many weight files are missing, so fetched before the separation.
    explicit DemucsProgress(int downloads = 1, int tracks = 1);

    struct Reading {
        enum class Kind { none, download, separation };
        Kind kind = Kind::none;
        double fraction = 0;  // of the download, or of Demucs's whole share
    };
    Reading read(QStringView line);

private:
    struct Climb {
        int parts = 1;
        int part = 0;
        int lastPercent = -1;
        // A percentage below the last one starts the next part; the same one
        // read twice (unfinished, then whole) is the same part.
        double fraction(int percent);
    };
    int m_tracks = 1;
    Climb m_download;
    Climb m_separation;
};

// A separation's stages and their share of the whole: conversion 5,
// Demucs 80, encodes 15.
enum class SeparationStage { converting, demucs, encoding };

// Overall percentage (0 to 100) for a stage and the fraction of it done
// (clamped to 0..1). A WAV input skips the conversion; its share counts as done.
int separationPercent(SeparationStage stage, double fractionDone);

}  // namespace separation
