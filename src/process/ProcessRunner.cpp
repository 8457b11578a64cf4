#include "process/ProcessRunner.h"

#include <QFile>
#include <QStringDecoder>

#include <csignal>
#ifdef __GLIBC__
#include <malloc.h>
#endif

QProcessEnvironment childEnvironment(const QProcessEnvironment& appEnvironment,
                                     const QString& fixedToolSearchPath)
{
    QProcessEnvironment env = appEnvironment;
    QStringList parts;
    if (env.contains(QStringLiteral("PATH")))
        parts << env.value(QStringLiteral("PATH"));
    parts << fixedToolSearchPath;
    env.insert(QStringLiteral("PATH"), parts.join(QLatin1Char(':')));
    return env;
}

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

void keepLargeAllocationsMapped()
{
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
}

QList<QByteArray> procStatFields(qint64 pid)
{
#ifdef Q_OS_LINUX
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    // The command name may itself hold spaces and ')', so only the last ')' ends it.
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return {};
    return text.mid(close + 1).simplified().split(' ');
#else
    Q_UNUSED(pid);
    return {};
#endif
}

int terminationStatus(const QProcess& process)
{
    const int code = process.exitCode();
    if (process.exitStatus() == QProcess::CrashExit)
        return code != 0 ? code : 255;
    return code;
}

QString signalName(int signal)
{
    static const struct {
        int number;
        const char* name;
    } names[] = {
        {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},
        {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},
        {SIGKILL, "SIGKILL"}, {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},
        {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"}, {SIGXCPU, "SIGXCPU"},
        {SIGXFSZ, "SIGXFSZ"}, {SIGSYS, "SIGSYS"},
    };
    for (const auto& entry : names) {
        if (entry.number == signal)
            return QString::fromLatin1(entry.name);
    }
    return {};
}

QString signalMessage(const QString& tool, int signal)
{
    const QString name = signalName(signal);
    QString message = QStringLiteral("%1 was stopped by signal %2").arg(tool).arg(signal);
    message += name.isEmpty() ? QStringLiteral(".") : QStringLiteral(" (%1).").arg(name);
    if (signal == SIGKILL)
        message += QStringLiteral(" The system may have run out of memory.");
    return message;
}
