#include "ytdlp/YtDlpInstallJob.h"

#include "app/AppError.h"
#include "app/FileOps.h"
#include "ytdlp/YtDlpLocator.h"

#include <QFileInfo>

#ifdef Q_OS_MACOS
#include <sys/xattr.h>
#endif

namespace {

const QString failedTitle = QStringLiteral("yt-dlp Install Failed");
const QString stage = QStringLiteral("Installing yt-dlp");

}  // namespace

YtDlpInstallJob::YtDlpInstallJob(Params params, QObject* parent) : Job(parent), m_params(std::move(params))
{
    m_progressTimer.setInterval(m_params.progressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &YtDlpInstallJob::logProgress);
    connect(&m_child, &ChildProcess::output, this, [this](const QString& text) {
        emit logEntries(splitOutputLines(text));
    });
    connect(&m_child, &ChildProcess::finished, this, &YtDlpInstallJob::onFinished);
}

YtDlpInstallJob::~YtDlpInstallJob()
{
    if (!m_child.isActive())
        return;
    m_child.killAndReap();
    fileops::removeItemQuietly(temporaryFile());
}

QString YtDlpInstallJob::destination() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("yt-dlp"));
}

QString YtDlpInstallJob::temporaryFile() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("yt-dlp.download"));
}

void YtDlpInstallJob::start()
{
    const QString temporary = temporaryFile();
    try {
        fileops::createDirectories(m_params.supportFolder);
        if (fileops::itemExists(temporary))
            fileops::removeItem(temporary);
    } catch (const AppError& error) {
        log(QStringLiteral("Install failed: ") + error.localizedDescription());
        finishWith(Outcome::failed);
        return;
    }
    emit logCleared();
    emit stage(::stage);
    emit progress(-1);
    emit logEntries({QStringLiteral("Downloading yt-dlp..."), m_params.sourceURL,
                     QStringLiteral("Progress will appear here while the file downloads.")});

    m_child.setProgram(m_params.curl);
    m_child.setArguments({QStringLiteral("-L"), QStringLiteral("--fail"), QStringLiteral("--show-error"),
                          QStringLiteral("--silent"), m_params.sourceURL, QStringLiteral("-o"), temporary});
    m_child.setEnvironment(m_params.environment);
    m_progressTimer.start();  // the first tick comes one interval after the start
    if (!m_child.start()) {
        m_progressTimer.stop();
        log(QStringLiteral("Install failed: ") + m_child.result().error);
        finishWith(Outcome::failed);
    }
}

void YtDlpInstallJob::stop()
{
    m_child.stop();
}

void YtDlpInstallJob::logProgress()
{
    const std::optional<qint64> size = fileops::fileSize(temporaryFile());
    if (!size)
        return;  // curl has not created the file yet
    const QString bytes = ytdlp::formatFileByteCount(*size);
    emit stage(::stage + QStringLiteral(": ") + bytes);
    log(QStringLiteral("Downloaded ") + bytes + QStringLiteral("..."));
}

void YtDlpInstallJob::fail(const QString& message)
{
    log(message);
    emit alert(failedTitle, message);
    finishWith(Outcome::failed);
}

void YtDlpInstallJob::onFinished(const RunResult& result)
{
    m_progressTimer.stop();
    const QString temporary = temporaryFile();
    if (result.outcome == RunResult::Outcome::stopped) {
        // The old tool was never touched; only the half download goes.
        fileops::removeItemQuietly(temporary);
        log(QStringLiteral("Stopped."));
        finishWith(Outcome::stopped);
        return;
    }
    if (result.status != 0) {
        fail(failureMessage(result, QStringLiteral("curl"),
                            QStringLiteral("Download failed with exit code %1.").arg(result.status)));
        return;
    }
    if (!fileops::itemExists(temporary)) {
        fail(QStringLiteral("Download failed: yt-dlp file was not created."));
        return;
    }
    const QString target = destination();
    try {
        // The old tool must survive any failing step: the new file gets its
        // mode first, then rename(2) puts it over the old one in one step.
        // Only a folder in the way, which no tool can be, is removed beforehand.
        fileops::setPosixPermissions(temporary, 0755);
        const QFileInfo existing(target);
        if (existing.isDir() && !existing.isSymLink())
            fileops::removeItem(target);
        fileops::moveItem(temporary, target);
    } catch (const AppError& error) {
        fail(QStringLiteral("Install failed: ") + error.localizedDescription());
        return;
    }
    removeQuarantineAttribute(target);
    emit logEntries({QStringLiteral("Installed yt-dlp."), target});
    emit installed(target);
    emit alert(QStringLiteral("yt-dlp Installed"), QStringLiteral("You can now download reference audio."));
    finishWith(Outcome::succeeded);
}

void YtDlpInstallJob::removeQuarantineAttribute(const QString& path)
{
    if (!m_params.removesQuarantine)
        return;
#ifdef Q_OS_MACOS
    if (::removexattr(QFile::encodeName(path).constData(), "com.apple.quarantine", 0) == 0)
        log(QStringLiteral("Removed quarantine attribute from yt-dlp."));
#else
    Q_UNUSED(path);
#endif
}
