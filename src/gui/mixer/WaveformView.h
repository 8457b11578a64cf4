#pragma once

#include <QVector>
#include <QWidget>

// One stem's waveform overview: the loader's peaks drawn as they arrive, the
// play position and the loop region. A click asks to seek there, a drag
// selects a loop region; Left and Right seek by five seconds.
class WaveformView : public QWidget {
    Q_OBJECT
public:
    explicit WaveformView(const QString& stemName, QWidget* parent = nullptr);

    // The loader's peaks of this stem (see mixer::framesPerPeak), read when
    // painting: they only grow, and the view is told when with update().
    void setPeaks(const QVector<qint16>* peaks);
    // The recording's length so far, which the width stands for.
    void setLength(qint64 frames);
    void setSampleRate(int rate) { m_sampleRate = rate; }
    void setPosition(qint64 frame);
    // end <= start: no region.
    void setLoopRegion(qint64 start, qint64 end, bool enabled);
    // A stem that is not heard (muted, or another is soloed) is drawn faint.
    void setAudible(bool audible);

    QSize sizeHint() const override { return {400, 56}; }
    QSize minimumSizeHint() const override { return {120, 40}; }

signals:
    void seekRequested(qint64 frame);
    void loopSelected(qint64 start, qint64 end);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    qint64 frameAt(double x) const;
    double xOf(qint64 frame) const;

    const QVector<qint16>* m_peaks = nullptr;
    qint64 m_length = 0;
    int m_sampleRate = 44100;
    qint64 m_position = 0;
    qint64 m_loopStart = 0;
    qint64 m_loopEnd = 0;
    bool m_loopEnabled = false;
    // A drag in progress: where it began and where it is, in pixels.
    double m_pressX = -1;
    double m_dragX = -1;
    bool m_dragging = false;
    bool m_audible = true;
};
