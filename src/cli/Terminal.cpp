#include "cli/Terminal.h"

#include "base/ClockText.h"

#include "demucs/DemucsContract.h"
#include "download/DownloadOutput.h"
#include "separation/SeparationProgress.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include <utility>

namespace cli {

QString durationText(qint64 seconds)
{
    return clockText(seconds);
}

QString progressLine(const QString& stage, int percent, std::optional<qint64> secondsLeft)
{
    QString line = stage;
    if (percent >= 0) {
        const int filled = std::min(percent, 100) / 10;
        line += QStringLiteral(" [") + QString(filled, QLatin1Char('#')) + QString(10 - filled, QLatin1Char('.')) +
                QLatin1Char(']');
        if (secondsLeft && percent < 100)
            line += QLatin1Char(' ') + durationText(*secondsLeft) + QStringLiteral(" left");
    }
    return line;
}

EntryKind entryKind(const QString& entry)
{
    // The queue's summary and its check for a file that went away; the jobs'
    // texts stay as the window shows them.
    if (entry.startsWith(QLatin1String("Failed: ")) || entry.startsWith(QLatin1String("Audio file was not found: ")))
        return EntryKind::error;
    if (separation::demucsBarPercent(entry) || download::progressPercent(entry) || demucs::pipProgressPercent(entry))
        return EntryKind::progress;
    return EntryKind::log;
}

void TimeLeft::update(qint64 nowMs, int percent)
{
    if (percent < 0 || percent < m_percent || m_startPercent < 0) {
        m_startMs = nowMs;
        m_startPercent = percent;
    }
    m_percent = percent;
    m_lastMs = nowMs;
}

std::optional<qint64> TimeLeft::secondsLeft() const
{
    const int gained = m_percent - m_startPercent;
    const qint64 spent = m_lastMs - m_startMs;
    // A second and a point of progress at least, or the guess is noise.
    if (m_startPercent < 0 || gained < 1 || spent < 1000)
        return std::nullopt;
    return (spent * (100 - m_percent) / gained + 999) / 1000;
}

Terminal::Terminal(QIODevice& out, QIODevice& err, bool drawProgress, int columns)
    : m_out(out), m_err(err), m_drawProgress(drawProgress), m_columns(std::max(columns, 20))
{
    m_clock.start();
}

StandardStream::StandardStream(int fd) : m_fd(fd)
{
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

qint64 StandardStream::writeData(const char* data, qint64 size)
{
    if (m_readerGone)
        return -1;
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_fd, data + done, size_t(size - done));
        if (n >= 0) {
            done += n;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd ready{m_fd, POLLOUT, 0};  // a descriptor inherited non-blocking
            ::poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            m_readerGone = errno == EPIPE;
            return -1;
        }
    }
    return done;
}

void Terminal::write(QIODevice& device, const QString& text)
{
    bool& gone = &device == &m_out ? m_outGone : m_errGone;
    if (gone)
        return;
    const auto* stream = dynamic_cast<const StandardStream*>(&device);
    if (device.write(text.toUtf8()) >= 0 || !stream || !stream->readerGone())
        return;
    gone = true;
    if (onReaderGone && !(m_outGone && m_errGone))  // the first of the two only
        onReaderGone();
}

void Terminal::logEntries(const QStringList& entries)
{
    // Runs of lines for the same stream are written at once, in their order.
    QString text;
    bool toErr = false;
    bool erased = false;
    const auto flush = [&] {
        if (text.isEmpty())
            return;
        if (!std::exchange(erased, true))
            erase();
        write(toErr ? m_err : m_out, std::exchange(text, QString()));
    };
    for (const QString& entry : entries) {
        const EntryKind kind = entryKind(entry);
        if (kind == EntryKind::progress && m_drawProgress)
            continue;
        if ((kind == EntryKind::error) != toErr) {
            flush();
            toErr = kind == EntryKind::error;
        }
        text += entry + QLatin1Char('\n');
    }
    flush();
    if (erased)
        draw();
}

void Terminal::alert(const QString& title, const QString& text)
{
    errorLine(title + QStringLiteral(": ") + text);
}

void Terminal::outputLine(const QString& text)
{
    erase();
    write(m_out, text + QLatin1Char('\n'));
    draw();
}

void Terminal::errorLine(const QString& text)
{
    erase();
    write(m_err, text + QLatin1Char('\n'));
    draw();
}

void Terminal::stage(const QString& text)
{
    // "Separating: Demucs 12%" and "… 13%" are one stage; "Encoding 1 of 4" is the next.
    QString shape = text;
    shape.removeIf([](QChar c) { return c.isDigit(); });
    if (shape != m_stageShape) {
        m_stageShape = shape;
        m_timeLeft.restart();
    }
    m_stage = text;
    draw();
}

void Terminal::progress(int percent)
{
    m_percent = percent;
    m_timeLeft.update(m_clock.elapsed(), percent);
    draw();
}

void Terminal::endProgress()
{
    erase();
    m_stage.clear();
    m_percent = -1;
}

void Terminal::draw()
{
    if (!m_drawProgress || m_stage.isEmpty())
        return;
    // A line longer than the terminal would wrap, and "\r" goes back one row only.
    const QString line = progressLine(m_stage, m_percent, m_timeLeft.secondsLeft()).left(m_columns - 1);
    const QString padding(std::max<qsizetype>(0, m_drawnWidth - line.size()), QLatin1Char(' '));
    write(m_err, QLatin1Char('\r') + line + padding);
    m_drawnWidth = line.size();
}

void Terminal::erase()
{
    if (m_drawnWidth == 0)
        return;
    write(m_err, QLatin1Char('\r') + QString(m_drawnWidth, QLatin1Char(' ')) + QLatin1Char('\r'));
    m_drawnWidth = 0;
}

}  // namespace cli
