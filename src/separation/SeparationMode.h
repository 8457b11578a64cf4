#pragma once

#include <QString>
#include <QStringList>

// The stem layout chosen by the mode control.
struct SeparationMode {
    enum Kind { twoStems, fourStems, sixStems };
    Kind kind = sixStems;
    // The fine-tuned four-stem model (two stems come from it too): about four
    // times slower, cleaner stems. Six-stem runs have no such model.
    bool bestQuality = false;

    // Segment 0 gives two stems, 1 four; any other value (none selected included) six.
    static SeparationMode fromSegment(int selectedSegment);
    // The mode of a stem count (2, 4 or 6); six for any other.
    static SeparationMode fromStemCount(int stems);
    QStringList stems() const;
    QString demucsModel() const;
    QString modeLabel() const;
    // What Demucs is told beyond the model: two stems are vocals and the rest.
    QStringList demucsOptions() const;
    // The file name Demucs gives stem, without its extension: the
    // instrumental is its "no_vocals".
    static QString demucsStemName(const QString& stem);
    bool operator==(const SeparationMode& other) const = default;
};
