#include "cli/Runner.h"

#include "base/AppError.h"
#include "base/FileOps.h"
#include "base/QuitSignals.h"
#include "session/LeftoverSweep.h"
#include "base/Version.h"
#include "cli/StatusReport.h"
#include "batch/Inputs.h"
#include "demucs/DemucsInstallJob.h"
#include "download/Listing.h"
#include "mixer/MixJob.h"
#include "ytdlp/YtDlpInstallJob.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <csignal>
#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {
namespace {

QJsonValue manifestOf(const QString& stemsFolder)
{
    QFile file(QDir(stemsFolder).filePath(QStringLiteral("manifest.json")));
    if (!file.open(QIODevice::ReadOnly))
        return QJsonValue();
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    return document.isObject() ? QJsonValue(document.object()) : QJsonValue();
}

void writeJsonLine(Terminal& terminal, const QJsonObject& object)
{
    terminal.outputLine(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

}  // namespace

Runner::Runner(Command command, PlatformProfile profile, Terminal& terminal, QObject* parent)
    : QObject(parent),
      m_command(std::move(command)),
      m_profile(std::move(profile)),
      m_terminal(terminal),
      m_settings(m_profile),
      m_tools(m_profile, m_settings)
{
}

Runner::~Runner()
{
    // The job and the status children go before the settings they read; their
    // destructors reap what still runs.
    delete m_job.data();
    delete m_status.data();
    if (m_sweep)
        m_sweep->wait();
}

void Runner::startSweep()
{
    const QString tempDir = m_profile.tempDir;
    const QString folder = saveFolder().first;
    m_sweep.reset(QThread::create([this, tempDir, folder] { m_swept = sweepLeftovers(tempDir, folder); }));
    connect(m_sweep.get(), &QThread::finished, this, &Runner::reportSweep);
    m_sweep->start();
}

void Runner::reportSweep()
{
    if (!m_sweep || m_sweepReported)
        return;
    m_sweep->wait();
    m_sweepReported = true;
    if (m_swept.items == 0)
        return;
    // Standard output of --json carries only the items' objects.
    const QString message = leftovers::removedMessage(m_swept.bytes);
    if (m_command.json)
        m_terminal.errorLine(message);
    else
        m_terminal.logEntries({message});
}

void Runner::start()
{
    startSweep();
    switch (m_command.kind) {
    case CommandKind::download:
    case CommandKind::separate:
    case CommandKind::get:
        startBatch();
        break;
    case CommandKind::installYtDlp:
        startInstallYtDlp();
        break;
    case CommandKind::installDemucs:
        startInstallDemucs();
        break;
    case CommandKind::status:
        startStatus();
        break;
    case CommandKind::mix:
        startMix();
        break;
    default:
        finish(exitUsage);
        break;
    }
}

QString Runner::resolvedFolder(const QString& path) const
{
    // A shell expands "~/" only at the start of a word, not after "--to=".
    QString expanded = path;
    if (expanded == QLatin1String("~") || expanded.startsWith(QLatin1String("~/")))
        expanded = m_profile.homeDir + expanded.mid(1);
    return QDir::cleanPath(QDir::current().absoluteFilePath(expanded));
}

std::pair<QString, bool> Runner::saveFolder() const
{
    if (!m_command.saveFolder.isEmpty())
        return {resolvedFolder(m_command.saveFolder), false};
    if (const auto stored = m_tools.storedSaveFolder())
        return {*stored, false};
    return {m_tools.defaultSaveFolder(), true};
}

void Runner::startBatch()
{
    const bool downloads = m_command.kind != CommandKind::separate;
    const bool separates = m_command.kind != CommandKind::download;
    std::optional<QString> ytDlp;
    if (downloads && !(ytDlp = m_tools.findYtDlp())) {
        refuse({QStringLiteral("yt-dlp was not found."),
                QStringLiteral("Run stemloft install yt-dlp, then try again.")});
        return;
    }
    const QString python = m_tools.managedDemucsPython();
    if (separates && !fileops::isExecutableFile(python)) {
        refuse({QStringLiteral("Demucs is not installed."),
                QStringLiteral("Run stemloft install demucs, then try again.")});
        return;
    }
    const auto [saveFolder, defaulted] = this->saveFolder();

    BatchJob::Params params;
    QStringList seen;
    for (const QString& input : std::as_const(m_command.inputs)) {
        // Files by their full path: the manifest names its source, and the
        // current folder means nothing to a reader later.
        const QString item = downloads ? input : QDir::cleanPath(QDir::current().absoluteFilePath(input));
        if (seen.contains(item))
            continue;
        seen << item;
        // Words that are no link look the recording up: the first result is taken.
        const bool search = downloads && !batch::isWebLink(item) && !download::isYtDlpSearch(item);
        params.items.append({item, downloads && !search, search});
    }
    params.separateDownloads = m_command.kind == CommandKind::get;
    if (downloads) {
        params.download.executable = *ytDlp;
        params.download.saveFolder = saveFolder;
        params.download.environment = m_tools.downloadEnvironment();
        params.download.saveFolderDefaulted = defaulted;
        params.download.cookiesBrowser = m_command.cookiesBrowser.value_or(m_tools.storedCookiesBrowser());
    }
    if (separates) {
        SeparationMode mode = SeparationMode::fromStemCount(m_command.stems);
        mode.bestQuality = m_command.bestQuality;
        params.separation = m_tools.separationParams(python, mode, m_command.format);
        params.separation.saveFolder = saveFolder;
        params.separation.saveFolderDefaulted = defaulted;
    }
    auto* job = new BatchJob(std::move(params), this);
    if (m_command.json)
        connect(job, &BatchJob::itemFinished, this, &Runner::printResult);
    run(job);
}

void Runner::startInstallYtDlp()
{
    if (!m_tools.findTool(m_profile.curlPath)) {
        refuse({QStringLiteral("curl was not found at ") + m_profile.curlPath + QStringLiteral(".")});
        return;
    }
    const std::optional<QString> managed = m_tools.findManagedYtDlp();
    if (managed && !m_command.update) {
        m_tools.rememberYtDlp(*managed);
        m_terminal.logEntries({QStringLiteral("yt-dlp is already installed."), *managed});
        m_terminal.alert(QStringLiteral("yt-dlp Already Installed"),
                         QStringLiteral("You can download reference audio without installing again."));
        finish(exitSucceeded);
        return;
    }
    YtDlpInstallJob::Params params;
    try {
        // Updating what is not there is installing it.
        params = m_tools.ytDlpInstallParams(managed.has_value());
    } catch (const AppError& error) {
        refuse({QStringLiteral("Install failed: ") + error.localizedDescription()});
        return;
    }
    auto* job = new YtDlpInstallJob(std::move(params), this);
    connect(job, &YtDlpInstallJob::installed, this, [this](const QString& path) { m_tools.rememberYtDlp(path); });
    run(job);
}

void Runner::startInstallDemucs()
{
    DemucsInstallJob::Params params;
    try {
        params = m_tools.demucsInstallParams();
    } catch (const AppError& error) {
        refuse({QStringLiteral("Failed to start Demucs install: ") + error.localizedDescription()});
        return;
    }
    auto* job = new DemucsInstallJob(std::move(params), this);
    connect(job, &DemucsInstallJob::rebuildRequested, this,
            [this, job](const QString& environmentFolder, const QString& reason) {
                const QString question = DemucsInstallJob::rebuildQuestion(environmentFolder, reason);
                if (m_command.rebuild) {
                    job->answerRebuild(true);
                } else if (askRebuild) {
                    QPointer<DemucsInstallJob> asking(job);
                    m_terminal.endProgress();  // the question takes the line
                    askRebuild(QStringLiteral("Rebuild Demucs Environment? ") + question, [asking](bool yes) {
                        if (asking)
                            asking->answerRebuild(yes);
                    });
                } else {
                    m_terminal.errorLine(QStringLiteral("Rebuild Demucs Environment?: ") + question);
                    m_terminal.errorLine(
                        QStringLiteral("Run stemloft install demucs --rebuild to delete it and install again."));
                    job->answerRebuild(false);
                }
            });
    run(job);
}

void Runner::startStatus()
{
    auto* report = new StatusReport(m_tools, this);
    m_status = report;
    connect(report, &StatusReport::finished, this, [this, report] {
        if (m_command.json) {
            writeJsonLine(m_terminal, report->json());
        } else {
            for (const QString& line : report->lines())
                m_terminal.outputLine(line);
        }
        finish(exitSucceeded);
    });
    report->start();
}

void Runner::startMix()
{
    const auto read = mixer::readStemFolder(resolvedFolder(m_command.inputs.first()));
    if (const QString* why = std::get_if<QString>(&read)) {
        refuse({*why});
        return;
    }
    mixer::MixJob::Params params;
    params.profile = m_tools.profileWithFoundTools();
    params.folder = std::get<mixer::StemFolder>(read);
    params.format = m_command.format;
    QStringList names;
    for (const mixer::StemFile& stem : std::as_const(params.folder.stems)) {
        params.settings.stems.append({stem.name});
        names << stem.name;
    }
    QStringList unknown;
    auto stem = [&](const QString& name) -> mixer::StemSetting* {
        const int index = mixer::stemIndex(params.settings.stems, name);
        if (index < 0) {
            unknown << name;
            return nullptr;
        }
        return &params.settings.stems[index];
    };
    for (const QString& name : std::as_const(m_command.mutes)) {
        if (mixer::StemSetting* setting = stem(name))
            setting->muted = true;
    }
    for (const QString& name : std::as_const(m_command.solos)) {
        if (mixer::StemSetting* setting = stem(name))
            setting->solo = true;
    }
    for (const auto& [name, level] : std::as_const(m_command.volumes)) {
        if (mixer::StemSetting* setting = stem(name))
            setting->volume = level;
    }
    if (!unknown.isEmpty()) {
        refuse({QStringLiteral("%1 has no stem named \"%2\"; its stems are %3.")
                    .arg(params.folder.name, unknown.first(), names.join(QStringLiteral(", ")))});
        return;
    }
    params.settings.tempo = m_command.tempo;
    params.settings.pitchSemitones = m_command.pitch;
    if (!m_command.output.isEmpty())
        params.output = resolvedFolder(m_command.output);
    run(new mixer::MixJob(std::move(params), this));
}

void Runner::refuse(const QStringList& lines)
{
    // A script reading JSON still gets one object per input it gave.
    if (m_command.json) {
        for (const QString& input : std::as_const(m_command.inputs))
            writeJsonLine(m_terminal, {{QStringLiteral("input"), input},
                                       {QStringLiteral("ok"), false},
                                       {QStringLiteral("error"), lines.join(QLatin1Char(' '))}});
    }
    // Seen in the terminal even when standard output goes to a file.
    for (const QString& line : lines)
        m_terminal.errorLine(line);
    finish(exitFailed);
}

void Runner::run(Job* job)
{
    m_job = job;
    if (!m_command.json)
        connect(job, &Job::logEntries, this, [this](const QStringList& entries) { m_terminal.logEntries(entries); });
    connect(job, &Job::stage, this, [this](const QString& text) {
        if (!m_signal)  // the job's last stages are no longer news
            m_terminal.stage(text);
    });
    connect(job, &Job::progress, this, [this](int percent) { m_terminal.progress(percent); });
    connect(job, &Job::alert, this, [this](const Alert& alert) { m_terminal.alert(alert.title, alert.text); });
    connect(job, &Job::finished, this, &Runner::onJobFinished);
    job->start();
}

void Runner::onJobFinished(Job::Outcome outcome)
{
    bool succeeded = outcome == Job::Outcome::succeeded;
    if (auto* batch = qobject_cast<BatchJob*>(m_job.data())) {
        for (const BatchJob::Result& result : batch->results())
            succeeded = succeeded && result.outcome == Job::Outcome::succeeded;
    }
    finish(succeeded ? exitSucceeded : exitFailed);
}

void Runner::printResult(const BatchJob::Result& result)
{
    const bool ok = result.outcome == Job::Outcome::succeeded;
    QJsonObject object{{QStringLiteral("input"), result.input}, {QStringLiteral("ok"), ok}};
    if (!result.audioFile.isEmpty())
        object.insert(QStringLiteral("audioFile"), result.audioFile);
    if (!result.stemsFolder.isEmpty()) {
        object.insert(QStringLiteral("stemsFolder"), result.stemsFolder);
        object.insert(QStringLiteral("manifest"), manifestOf(result.stemsFolder));
    }
    if (!ok) {
        QString error = result.reason;
        if (error.isEmpty())
            error = result.outcome == Job::Outcome::stopped ? QStringLiteral("Stopped.") : QStringLiteral("Failed.");
        object.insert(QStringLiteral("error"), error);
    }
    writeJsonLine(m_terminal, object);
}

void Runner::interrupt(int signalNumber)
{
    if (m_done || m_signal)
        return;  // the first signal's stop is under way; its grace period ends in a kill
    m_signal = signalNumber;
    if (m_job && !m_job->hasFinished()) {
        m_terminal.stage(QStringLiteral("Stopping..."));
        m_job->stop();
        return;
    }
    // A status report: its children are reaped when it is deleted.
    finish(exitFailed);
}

void Runner::finish(int exitStatus)
{
    if (m_done)
        return;
    m_done = true;
    m_terminal.endProgress();
    reportSweep();
    emit done(m_signal ? 128 + m_signal : exitStatus);
}

int run(const QStringList& args, const PlatformProfile& profile, const Io& io,
        const std::function<void(Runner&)>& started)
{
    const ParseResult parsed = parseCommandLine(args, profile.cookieBrowsers);
    if (!parsed.command || parsed.command->kind == CommandKind::window) {
        io.err->write(QStringLiteral("stemloft: %1\n%2").arg(parsed.error, usageText()).toUtf8());
        return exitUsage;
    }
    const Command& command = *parsed.command;
    if (command.kind == CommandKind::help) {
        io.out->write(helpText(profile.cookieBrowsers, command.helpTopic).toUtf8());
        return exitSucceeded;
    }
    if (command.kind == CommandKind::version) {
        io.out->write((QStringLiteral("Stemloft ") + applicationVersion() + QLatin1Char('\n')).toUtf8());
        return exitSucceeded;
    }
    Terminal terminal(*io.out, *io.err, io.drawProgress, io.columns);
    Runner runner(command, profile, terminal);
    runner.askRebuild = io.askRebuild;
    // A reader that went away (| head -1) ends the run as SIGPIPE would have,
    // but cleanly: as Ctrl+C does. Not from inside the write: a job's signal
    // is under way there.
    bool readerGone = false;
    terminal.onReaderGone = [&runner, &readerGone] {
        readerGone = true;
        QMetaObject::invokeMethod(&runner, [&runner] { runner.interrupt(SIGPIPE); }, Qt::QueuedConnection);
    };
    int status = exitFailed;
    QEventLoop loop;
    QObject::connect(&runner, &Runner::done, &loop, [&status, &loop](int exitStatus) {
        status = exitStatus;
        loop.quit();
    });
    if (started)
        started(runner);
    runner.start();
    if (!runner.isDone())
        loop.exec();
    // The run may have ended before the stop came round.
    if (readerGone && status < 128)
        status = 128 + SIGPIPE;
    return status;
}

namespace {

// A yes or no typed on the terminal, read without blocking the event loop.
class TerminalQuestion : public QObject {
public:
    // The application owns it until it is answered: a run stopped meanwhile leaves it unanswered.
    TerminalQuestion(QIODevice& err, const QString& question, std::function<void(bool)> answer)
        : QObject(QCoreApplication::instance()),
          m_notifier(STDIN_FILENO, QSocketNotifier::Read),
          m_answer(std::move(answer))
    {
        err.write((question + QStringLiteral(" [y/N] ")).toUtf8());
        connect(&m_notifier, &QSocketNotifier::activated, this, &TerminalQuestion::read);
    }

private:
    void read()
    {
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n == 1 && c != '\n') {
            m_line += c;
            return;
        }
        m_notifier.setEnabled(false);
        const QString word = QString::fromUtf8(m_line).trimmed().toLower();
        if (auto answer = std::exchange(m_answer, nullptr))
            answer(word == QLatin1String("y") || word == QLatin1String("yes"));
        deleteLater();
    }

    QSocketNotifier m_notifier;
    QByteArray m_line;
    std::function<void(bool)> m_answer;
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Stemloft"));
    QCoreApplication::setOrganizationName(QStringLiteral("Stemloft"));
    // A closed standard output or error is noticed as EPIPE, and handled.
    ::signal(SIGPIPE, SIG_IGN);
    StandardStream out(STDOUT_FILENO);
    StandardStream err(STDERR_FILENO);
    Io io;
    io.out = &out;
    io.err = &err;
    io.drawProgress = ::isatty(STDERR_FILENO) == 1;
    winsize size{};
    if (io.drawProgress && ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        io.columns = size.ws_col;
    if (::isatty(STDIN_FILENO) == 1) {
        io.askRebuild = [&err](const QString& question, std::function<void(bool)> answer) {
            new TerminalQuestion(err, question, std::move(answer));
        };
    }
    QuitSignals quitSignals;
    // From argv's bytes: arguments() would turn a file name that is not UTF-8 into U+FFFD.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << fileops::decodePath(QByteArray(argv[i]));
    return run(args, PlatformProfile::current(), io, [&quitSignals](Runner& runner) {
        QObject::connect(&quitSignals, &QuitSignals::received, &runner, &Runner::interrupt);
    });
}

}  // namespace cli
