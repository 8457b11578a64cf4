#include "gui/mixer/WaveformView.h"

#include "mixer/StemLoader.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {
// Pixels a press may move and still be a click rather than a selection.
constexpr double dragThreshold = 4;
constexpr int keySeekSeconds = 5;
}  // namespace

WaveformView::WaveformView(const QString& stemName, QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(stemName + QStringLiteral(" waveform"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void WaveformView::setPeaks(const QVector<qint16>* peaks)
{
    m_peaks = peaks;
    update();
}

void WaveformView::setLength(qint64 frames)
{
    if (frames == m_length)
        return;
    m_length = frames;
    update();
}

void WaveformView::setPosition(qint64 frame)
{
    if (frame == m_position)
        return;
    const bool moved = std::lround(xOf(frame)) != std::lround(xOf(m_position));
    m_position = frame;
    if (moved)
        update();
}

void WaveformView::setLoopRegion(qint64 start, qint64 end, bool enabled)
{
    m_loopStart = start;
    m_loopEnd = end;
    m_loopEnabled = enabled;
    update();
}

qint64 WaveformView::frameAt(double x) const
{
    if (width() <= 0)
        return 0;
    return std::clamp<qint64>(std::llround(x / width() * double(m_length)), 0, m_length);
}

double WaveformView::xOf(qint64 frame) const
{
    return m_length > 0 ? double(frame) / double(m_length) * width() : 0.0;
}

void WaveformView::setAudible(bool audible)
{
    if (audible == m_audible)
        return;
    m_audible = audible;
    update();
}

void WaveformView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QPalette& pal = palette();
    painter.fillRect(rect(), pal.color(QPalette::Base));

    // The loop region under the waveform; a selection being dragged over it.
    QColor region = pal.color(QPalette::Highlight);
    region.setAlpha(m_loopEnabled ? 90 : 40);
    if (m_dragging) {
        painter.fillRect(QRectF(std::min(m_pressX, m_dragX), 0, std::abs(m_dragX - m_pressX), height()), region);
    } else if (m_loopEnd > m_loopStart) {
        const double left = xOf(m_loopStart);
        painter.fillRect(QRectF(left, 0, xOf(m_loopEnd) - left, height()), region);
    }

    // Each pixel column shows the lowest and highest peak it covers.
    const double mid = height() / 2.0;
    const double scale = (height() / 2.0 - 1) / 32768.0;
    if (m_peaks && m_length > 0 && width() > 0) {
        painter.setPen(pal.color(m_audible ? QPalette::Text : QPalette::Mid));
        const qsizetype count = m_peaks->size() / 2;
        const double peaksPerPixel = double(m_length) / mixer::framesPerPeak / width();
        for (int x = 0; x < width(); ++x) {
            const qsizetype first = qsizetype(x * peaksPerPixel);
            if (first >= count)
                break;
            const qsizetype last = std::min(count, std::max(first + 1, qsizetype((x + 1) * peaksPerPixel)));
            qint16 low = 0;
            qint16 high = 0;
            for (qsizetype i = first; i < last; ++i) {
                low = std::min(low, m_peaks->at(2 * i));
                high = std::max(high, m_peaks->at(2 * i + 1));
            }
            painter.drawLine(QPointF(x + 0.5, mid - high * scale), QPointF(x + 0.5, mid - low * scale));
        }
    }
    painter.setPen(pal.color(QPalette::Mid));
    painter.drawLine(QPointF(0, mid), QPointF(width(), mid));

    painter.setPen(QPen(pal.color(QPalette::Highlight), 2));
    const double at = xOf(m_position);
    painter.drawLine(QPointF(at, 0), QPointF(at, height()));

    if (hasFocus()) {
        painter.setPen(QPen(pal.color(QPalette::Highlight), 1, Qt::DashLine));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void WaveformView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_pressX = event->position().x();
    m_dragX = m_pressX;
    m_dragging = false;
}

void WaveformView::mouseMoveEvent(QMouseEvent* event)
{
    if (m_pressX < 0)
        return;
    m_dragX = std::clamp(event->position().x(), 0.0, double(width()));
    if (std::abs(m_dragX - m_pressX) >= dragThreshold)
        m_dragging = true;
    if (m_dragging)
        update();
}

void WaveformView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || m_pressX < 0)
        return;
    const double press = m_pressX;
    const double release = std::clamp(event->position().x(), 0.0, double(width()));
    const bool dragged = m_dragging || std::abs(release - press) >= dragThreshold;
    m_pressX = -1;
    m_dragging = false;
    update();
    if (m_length <= 0)
        return;
    if (dragged)
        emit loopSelected(frameAt(std::min(press, release)), frameAt(std::max(press, release)));
    else
        emit seekRequested(frameAt(release));
}

void WaveformView::keyPressEvent(QKeyEvent* event)
{
    const qint64 step = qint64(keySeekSeconds) * m_sampleRate;
    if (event->key() == Qt::Key_Left && event->modifiers() == Qt::NoModifier && m_length > 0) {
        emit seekRequested(std::max<qint64>(0, m_position - step));
        return;
    }
    if (event->key() == Qt::Key_Right && event->modifiers() == Qt::NoModifier && m_length > 0) {
        emit seekRequested(std::min(m_length, m_position + step));
        return;
    }
    QWidget::keyPressEvent(event);
}
