#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The child's environment: the application's own, with the fixed tool search
// path appended to PATH (an existing PATH keeps precedence, even when empty).
QProcessEnvironment childEnvironment(const QProcessEnvironment& appEnvironment,
                                     const QString& fixedToolSearchPath);

// The log lines of one piece of output: carriage returns become line feeds,
// the pieces are trimmed and the empty ones dropped.
QStringList splitOutputLines(const QString& text);

// The whole output of a finished child as text, or nothing when it is not
// valid UTF-8 (an incomplete character at the end included).
std::optional<QString> decodeUtf8(const QByteArray& bytes);

// Turns a child's byte stream into text that ends at line boundaries.
// UTF-8 is decoded across reads (a character split between two reads is
// joined, bytes that are not UTF-8 become U+FFFD), and a line split between
// two reads is held until its end arrives. The held tail is bounded, so a
// child that never ends a line cannot grow memory without limit.
class OutputAssembler {
public:
    static constexpr qsizetype defaultMaxTail = 64 * 1024;

    explicit OutputAssembler(qsizetype maxTail = defaultMaxTail);

    // Text ending at a line feed or carriage return, or empty when none yet.
    QString feed(const QByteArray& bytes);
    // Whatever is held when the stream has ended.
    QString finish();

private:
    QByteArray m_pendingBytes;  // an incomplete UTF-8 character
    QString m_tail;
    qsizetype m_maxTail;
};

// Exit status as the rest of the program sees it: the exit code of a normal
// exit; for a child ended by a signal, the signal number (never 0).
int terminationStatus(const QProcess& process);

// A long run: one child, both output streams merged into one pipe, output
// streamed to a sink and the end reported on the main thread. The last output
// of the child always reaches the sink before the completion runs.
class ProcessRun : public QObject {
    Q_OBJECT
public:
    using Sink = std::function<void(const QString&)>;
    using Completion = std::function<void(int status)>;

    ProcessRun(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment, QObject* parent = nullptr);
    // An empty run that launches nothing; occupies a process slot in tests.
    ProcessRun();
    ~ProcessRun() override;

    void setSink(Sink sink) { m_sink = std::move(sink); }
    void setCompletion(Completion completion) { m_completion = std::move(completion); }

    // Starts the child. A child that cannot be started is reported here, at
    // once, with the error's description; neither callback is ever called then.
    bool launch(QString* errorDescription);

    QString program() const { return m_process.program(); }
    QStringList arguments() const { return m_process.arguments(); }
    qint64 processId() const { return m_process.processId(); }
    bool hasFinished() const { return m_finished; }

private:
    void readOutput();
    void onFinished();

    QProcess m_process;
    OutputAssembler m_assembler;
    Sink m_sink;
    Completion m_completion;
    bool m_finished = false;
};

// A synchronous run: start, wait on the calling thread without a time limit.
struct SyncRunResult {
    bool launched = false;
    QString launchError;
    int status = -1;
    QByteArray output;  // captured as the options say
};

struct SyncRunOptions {
    std::optional<QProcessEnvironment> environment;  // none: inherit
    enum class Output { discard, stdoutOnly, merged } output = Output::discard;
};

SyncRunResult runSync(const QString& program, const QStringList& arguments,
                      const SyncRunOptions& options);
