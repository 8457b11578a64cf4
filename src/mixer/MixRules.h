#pragma once

// What the musician chose in the mixer, and what it means for each stem's
// level and for the name of a saved mix. No state: the engine, the window and
// the command line share these rules.

#include <QList>
#include <QString>

namespace mixer {

struct StemSetting {
    QString name;
    double volume = 1.0;  // 0 to 1
    bool muted = false;
    bool solo = false;
};

struct MixSettings {
    QList<StemSetting> stems;
    double tempo = 1.0;      // 0.5 to 1.5, keeping the pitch
    int pitchSemitones = 0;  // -12 to +12, keeping the tempo
};

inline constexpr double minTempo = 0.5;
inline constexpr double maxTempo = 1.5;
inline constexpr int maxPitchSemitones = 12;

// The gain of one stem: while any stem is soloed only the soloed ones sound,
// muted or not (solo wins); otherwise every stem not muted. At its volume.
double effectiveGain(const StemSetting& stem, bool anySolo);
bool anySolo(const QList<StemSetting>& stems);

// Whether the time-stretcher is needed: a tempo or pitch other than the
// recording's. At 100 % and 0 semitones the mix is the plain sum.
bool changesTime(double tempo, int pitchSemitones);

// The file name (without extension) of a mix, from what is heard: "no vocals",
// "bass 80% tempo", "drums, bass", "no vocals, guitar 50%, -2 semitones",
// "full mix" when nothing differs from the recording. Stems are named in
// their order; a volume is given in whole percent.
QString mixName(const MixSettings& settings);

// The index of the stem with that name (any case); -1 when none has it.
int stemIndex(const QList<StemSetting>& stems, const QString& name);

}  // namespace mixer
