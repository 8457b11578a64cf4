#pragma once

#include <QString>
#include <QStringList>

// The stem layout chosen by the mode control.
struct SeparationMode {
    enum Kind { fourStems, sixStems };
    Kind kind = sixStems;
    // Four stems with the fine-tuned model: about four times slower, cleaner
    // stems. Six-stem runs have no such model.
    bool bestQuality = false;

    // Segment 0 gives four stems; any other value (none selected included) six.
    static SeparationMode fromSegment(int selectedSegment);
    QStringList stems() const;
    QString demucsModel() const;
    QString modeLabel() const;
    bool operator==(const SeparationMode& other) const = default;
};
