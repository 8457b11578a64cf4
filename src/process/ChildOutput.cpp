#include "process/ChildOutput.h"
#include <QStringDecoder>

QStringList splitOutputLines(const QString& text)
{
    // Copies cost: a line of megabytes is copied once, not once a step.
    QString normalized = text;
    if (normalized.contains(QLatin1Char('\r')))
        normalized.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList lines;
    const auto pieces = QStringView(normalized).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QStringView piece : pieces) {
        const QStringView trimmed = piece.trimmed();
        if (trimmed.isEmpty())
            continue;
        if (trimmed.size() == normalized.size())
            lines << normalized;
        else
            lines << trimmed.toString();
    }
    return lines;
}

std::optional<QString> decodeUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

namespace {

// Length of an incomplete UTF-8 sequence at the end of bytes (0 when the
// bytes end on a character boundary or with bytes that can never complete).
qsizetype incompleteUtf8Tail(const QByteArray& bytes)
{
    const qsizetype n = bytes.size();
    for (qsizetype back = 1; back <= 3 && back <= n; ++back) {
        const auto byte = static_cast<unsigned char>(bytes[n - back]);
        if ((byte & 0xC0) == 0x80)
            continue;  // continuation byte: keep looking for the lead byte
        qsizetype expected = 1;
        if (byte >= 0xF0 && byte <= 0xF4)
            expected = 4;
        else if (byte >= 0xE0)
            expected = byte <= 0xEF ? 3 : 1;
        else if (byte >= 0xC2)
            expected = 2;
        return expected > back ? back : 0;
    }
    return 0;
}

}  // namespace

OutputAssembler::OutputAssembler(qsizetype maxTail) : m_maxTail(maxTail) {}

QString OutputAssembler::feed(const QByteArray& bytes)
{
    QByteArray data = m_pendingBytes + bytes;
    const qsizetype hold = incompleteUtf8Tail(data);
    m_pendingBytes = data.right(hold);
    data.chop(hold);
    // The held tail has no line break: only the new text is searched, so a
    // line of megabytes costs linear time, not a rescan per read.
    const qsizetype searched = m_tail.size();
    m_tail += QString::fromUtf8(data);

    qsizetype cut = -1;
    for (qsizetype i = m_tail.size() - 1; i >= searched; --i) {
        const QChar c = m_tail.at(i);
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) {
            cut = i;
            break;
        }
    }
    QString out;
    if (cut >= 0) {
        // The complete lines leave without a copy; only the rest is copied.
        QString rest = m_tail.mid(cut + 1);
        m_tail.truncate(cut + 1);
        out = std::exchange(m_tail, std::move(rest));
    }
    if (m_tail.size() > m_maxTail) {
        out += m_tail;
        m_tail.clear();
    }
    return out;
}

QString OutputAssembler::finish()
{
    QString out = m_tail + QString::fromUtf8(m_pendingBytes);
    m_tail.clear();
    m_pendingBytes.clear();
    return out;
}
