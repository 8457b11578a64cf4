#pragma once

#include "base/PlatformProfile.h"
#include "jobs/Job.h"
#include "mixer/StemFolder.h"

#include <QList>
#include <QWidget>

#include <functional>

class LogView;
class MixerController;
class QLabel;
class QPushButton;
class QSlider;
class WaveformView;

// The mixer of one stems folder: a row per stem (name, waveform, Mute, Solo,
// volume), the transport, tempo and pitch, Save Mix and a log. It shows what
// its controller reports and passes on what the user chooses; it owns the
// controller, so closing it stops playback and removes the decoded stems.
// Every control has an object name for scripted checks.
class MixerWindow : public QWidget {
    Q_OBJECT
public:
    MixerWindow(const PlatformProfile& profile, mixer::StemFolder folder, QWidget* parent = nullptr);
    ~MixerWindow() override;

    MixerController& controller() const { return *m_controller; }

    // Asks where to save a mix, starting at suggested; empty when cancelled.
    // Tests replace it to skip the dialog.
    std::function<QString(const QString& suggested)> chooseMixPath;

    struct Row {
        QLabel* name = nullptr;
        WaveformView* waveform = nullptr;
        QPushButton* mute = nullptr;
        QPushButton* solo = nullptr;
        QSlider* volume = nullptr;
        QLabel* volumeText = nullptr;
    };
    const QList<Row>& rows() const { return m_rows; }

signals:
    // After an alert was put on screen.
    void alertShown(const Alert& alert);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildRows();
    void buildShortcuts();
    void connectController();
    // The row holding the focused widget; -1 when the focus is elsewhere.
    int focusedRow() const;
    void showPosition(qint64 frame, qint64 length);
    void showPlaying(bool playing);
    void showLoop();
    // Fades the waveforms of the stems that are not heard.
    void showAudible();
    void updateControls();
    void saveMix();
    void showAlert(const Alert& alert);

    MixerController* m_controller;
    QList<Row> m_rows;
    QLabel* m_statusLabel;
    QLabel* m_deviceLabel;
    QPushButton* m_playButton;
    QSlider* m_positionSlider;
    QLabel* m_timeLabel;
    QPushButton* m_loopButton;
    QSlider* m_tempoSlider;
    QLabel* m_tempoText;
    QSlider* m_pitchSlider;
    QLabel* m_pitchText;
    QPushButton* m_saveButton;
    LogView* m_logView;
};
