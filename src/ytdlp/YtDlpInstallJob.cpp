#include "ytdlp/YtDlpInstallJob.h"

#include "base/AppError.h"
#include "base/Background.h"
#include "base/ByteCount.h"
#include "base/FileOps.h"
#include "fetch/Verification.h"
#include "ytdlp/YtDlpLocator.h"

#include <QFile>

#ifdef Q_OS_MACOS
#include <sys/xattr.h>
#endif

namespace {

const QString failedTitle = QStringLiteral("yt-dlp Install Failed");
const QString ytDlpStage = QStringLiteral("Installing yt-dlp");
const QString denoStage = QStringLiteral("Installing Deno");
const QString denoName = QStringLiteral("deno");
const QString checksumMismatch = QStringLiteral("The download did not match its published checksum.");

// Whether file's SHA-256 is expected; a file that cannot be read is an error.
bool hasDigest(const QString& file, const std::optional<QByteArray>& expected)
{
    QString error;
    const std::optional<QByteArray> actual = verification::fileSha256(file, &error);
    if (!actual)
        throw AppError(QStringLiteral("FileSystem"), 0, error);
    return expected && *expected == *actual;
}

}  // namespace

YtDlpInstallJob::YtDlpInstallJob(Params params, QObject* parent)
    : Job(parent), m_params(std::move(params)), m_ticker(m_params.progressIntervalMs)
{
    connect(&m_ticker, &DownloadTicker::ticked, this,
            [this](const QString& bytes) { logProgress(ytDlpStage, bytes); });
}

YtDlpInstallJob::~YtDlpInstallJob()
{
    // Deno's download, a child, cleans up after itself.
    if (!m_child || !m_child->isActive())
        return;
    m_child->killAndReap();
    for (const QString& item : ytDlpDebris())
        fileops::removeItemQuietly(item);
}

QByteArray YtDlpInstallJob::signingKey()
{
    QFile file(QStringLiteral(":/keys/yt-dlp-public.key"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString YtDlpInstallJob::destination() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("yt-dlp"));
}

QString YtDlpInstallJob::temporaryFile() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("yt-dlp.download"));
}

QString YtDlpInstallJob::checksumsFile() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("SHA2-256SUMS.download"));
}

QString YtDlpInstallJob::signatureFile() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("SHA2-256SUMS.sig.download"));
}

QString YtDlpInstallJob::keyringFile() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("yt-dlp.keyring"));
}

QString YtDlpInstallJob::denoDestination() const
{
    return fileops::appendingComponent(m_params.supportFolder, denoName);
}

void YtDlpInstallJob::start()
{
    try {
        fileops::createDirectories(m_params.supportFolder);
        // Leftovers of an earlier attempt.
        for (const QString& leftover : ytDlpDebris()) {
            if (fileops::itemExists(leftover))
                fileops::removeItem(leftover);
        }
    } catch (const AppError& error) {
        log(QStringLiteral("Install failed: ") + error.localizedDescription());
        finishWith(Outcome::failed);
        return;
    }
    emit logCleared();
    emit stage(ytDlpStage);
    emit progress(-1);
    emit logEntries({QStringLiteral("Downloading yt-dlp..."), m_params.sourceURL,
                     QStringLiteral("Progress will appear here while the file downloads.")});
    if (!runCurl(m_params.sourceURL, temporaryFile(), &YtDlpInstallJob::onYtDlpDownloaded)) {
        log(QStringLiteral("Install failed: ") + m_child->result().error);
        finishWith(Outcome::failed);
        return;
    }
    m_ticker.start(temporaryFile());
}

void YtDlpInstallJob::stop()
{
    if (m_deno)
        m_deno->stop();
    else if (m_child)
        m_child->stop();
}

bool YtDlpInstallJob::runChild(const QString& program, const QStringList& arguments, Handler done)
{
    ChildProcess* child = fetch::newStep(this, m_child, program, arguments, m_params.environment,
                                         [this](const QString& text) { emit logEntries(splitOutputLines(text)); });
    connect(child, &ChildProcess::finished, this, done);
    return child->start();
}

bool YtDlpInstallJob::runCurl(const QString& url, const QString& file, Handler done)
{
    return runChild(m_params.curl, fetch::curlArguments(url, file), done);
}

void YtDlpInstallJob::logProgress(const QString& stageText, const QString& bytes)
{
    emit stage(stageText + QStringLiteral(": ") + bytes);
    log(QStringLiteral("Downloaded ") + bytes + QStringLiteral("..."));
}

void YtDlpInstallJob::onYtDlpDownloaded(const RunResult& result)
{
    m_ticker.stop();
    const QString temporary = temporaryFile();
    if (result.outcome == RunResult::Outcome::stopped) {
        // The old tool was never touched; only the half download goes.
        finishStopped({temporary});
        return;
    }
    if (result.status != 0) {
        fail(ToolDownload::curlFailure(result));
        return;
    }
    if (!fileops::itemExists(temporary)) {
        fail(QStringLiteral("Download failed: yt-dlp file was not created."));
        return;
    }
    // Tiny files: no progress lines for them.
    if (!runCurl(m_params.checksumsURL, checksumsFile(), &YtDlpInstallJob::onChecksumsDownloaded))
        fail(QStringLiteral("curl could not be started: ") + m_child->result().error);
}

void YtDlpInstallJob::onChecksumsDownloaded(const RunResult& result)
{
    if (result.outcome == RunResult::Outcome::stopped) {
        finishStopped(ytDlpDebris());
        return;
    }
    if (result.status != 0) {
        fail(QStringLiteral("The published checksum could not be downloaded: ") + ToolDownload::curlFailure(result));
        return;
    }
    if (!fileops::isExecutableFile(m_params.gpgv)) {
        installYtDlp(false);
        return;
    }
    const QString url = m_params.checksumsURL + QStringLiteral(".sig");
    if (!runCurl(url, signatureFile(), &YtDlpInstallJob::onSignatureDownloaded))
        fail(QStringLiteral("curl could not be started: ") + m_child->result().error);
}

void YtDlpInstallJob::onSignatureDownloaded(const RunResult& result)
{
    if (result.outcome == RunResult::Outcome::stopped) {
        finishStopped(ytDlpDebris());
        return;
    }
    if (result.status != 0) {
        fail(QStringLiteral("The signature could not be downloaded: ") + ToolDownload::curlFailure(result));
        return;
    }
    // gpgv reads only binary keyrings, and only from a file.
    try {
        fileops::writeFileAtomically(keyringFile(), verification::dearmoredKey(m_params.signingKey));
    } catch (const AppError& error) {
        fail(QStringLiteral("Install failed: ") + error.localizedDescription());
        return;
    }
    const QStringList arguments = {QStringLiteral("--keyring"), keyringFile(), signatureFile(), checksumsFile()};
    if (!runChild(m_params.gpgv, arguments, &YtDlpInstallJob::onSignatureChecked))
        fail(QStringLiteral("gpgv could not be started: ") + m_child->result().error);
}

void YtDlpInstallJob::onSignatureChecked(const RunResult& result)
{
    if (result.outcome == RunResult::Outcome::stopped) {
        finishStopped(ytDlpDebris());
        return;
    }
    if (result.status != 0) {
        fail(failureMessage(result, QStringLiteral("gpgv"), QStringLiteral("The download did not match its signature.")));
        return;
    }
    installYtDlp(true);
}

void YtDlpInstallJob::installYtDlp(bool signatureChecked)
{
    const QString temporary = temporaryFile();
    const QString target = destination();
    try {
        const QByteArray list = verification::readChecksumFile(checksumsFile());
        if (!hasDigest(temporary, verification::listedSha256(list, m_params.assetName))) {
            fail(checksumMismatch);
            return;
        }
        log(signatureChecked ? QStringLiteral("Verified SHA-256 and signature.") : QStringLiteral("Verified SHA-256."));
        fileops::putExecutableInPlace(temporary, target);
    } catch (const AppError& error) {
        fail(QStringLiteral("Install failed: ") + error.localizedDescription());
        return;
    }
    for (const QString& item : ytDlpDebris())
        fileops::removeItemQuietly(item);
    removeQuarantineAttribute(target, QStringLiteral("yt-dlp"));
    emit logEntries({QStringLiteral("Installed yt-dlp."), target});
    emit installed(target);
    installDeno();
}

void YtDlpInstallJob::installDeno()
{
    // An update downloads the managed copy again; otherwise any usable deno will do.
    const bool refresh = m_params.update && fileops::itemExists(denoDestination());
    if (!refresh) {
        if (const std::optional<QString> found = ytdlp::firstUsable(m_params.denoCandidates)) {
            log(QStringLiteral("Deno found: ") + *found);
            succeed();
            return;
        }
    }
    emit stage(denoStage);
    emit progress(-1);
    emit logEntries({QStringLiteral("Installing Deno (JavaScript runtime for YouTube)..."), m_params.denoSourceURL});
    ToolDownload::Params deno;
    deno.name = QStringLiteral("Deno");
    deno.curl = m_params.curl;
    deno.archiveURL = m_params.denoSourceURL;
    deno.checksumSuffix = QStringLiteral(".sha256sum");
    deno.unpacker = m_params.unzip;
    deno.member = denoName;
    deno.destination = denoDestination();
    deno.environment = m_params.environment;
    deno.progressIntervalMs = m_params.progressIntervalMs;
    m_deno = new ToolDownload(deno, this);
    connect(m_deno, &ToolDownload::logEntries, this, &Job::logEntries);
    connect(m_deno, &ToolDownload::downloaded, this,
            [this](const QString& bytes) { logProgress(denoStage, bytes); });
    connect(m_deno, &ToolDownload::finished, this, &YtDlpInstallJob::onDenoFinished);
    m_deno->start();
}

void YtDlpInstallJob::onDenoFinished(ToolDownload::Outcome outcome, const QString& reason)
{
    // It ends inside its own signal.
    m_deno->deleteLater();
    m_deno = nullptr;
    if (outcome == ToolDownload::Outcome::stopped) {
        finishStopped({});
    } else if (outcome == ToolDownload::Outcome::failed) {
        failDeno(reason);
    } else {
        const QString target = denoDestination();
        removeQuarantineAttribute(target, QStringLiteral("Deno"));
        log(QStringLiteral("Deno installed: ") + target);
        succeed();
    }
}

void YtDlpInstallJob::succeed()
{
    if (m_params.update)
        inform(QStringLiteral("yt-dlp Updated"), QStringLiteral("You can now download reference audio."));
    else
        inform(QStringLiteral("yt-dlp Installed"), QStringLiteral("You can now download reference audio."));
    finishWith(Outcome::succeeded);
}

void YtDlpInstallJob::fail(const QString& message)
{
    // The old tool was never touched; nothing of the attempt stays.
    for (const QString& item : ytDlpDebris())
        fileops::removeItemQuietly(item);
    log(message);
    warn(failedTitle, message);
    finishWith(Outcome::failed);
}

void YtDlpInstallJob::failDeno(const QString& reason)
{
    // The new yt-dlp stays: it works for every site but YouTube without Deno.
    const QString message = QStringLiteral("yt-dlp is installed, but Deno is not: ") + reason +
                            QStringLiteral(" YouTube downloads may fail without it; choose Update yt-dlp to try again.");
    log(message);
    warn(QStringLiteral("Deno Install Failed"), message);
    finishWith(Outcome::failed);
}

void YtDlpInstallJob::finishStopped(const QStringList& debris)
{
    for (const QString& item : debris)
        fileops::removeItemQuietly(item);
    log(QStringLiteral("Stopped."));
    finishWith(Outcome::stopped);
}

QStringList YtDlpInstallJob::ytDlpDebris() const
{
    return {temporaryFile(), checksumsFile(), signatureFile(), keyringFile()};
}

void YtDlpInstallJob::removeQuarantineAttribute(const QString& path, const QString& name)
{
    if (!m_params.removesQuarantine)
        return;
#ifdef Q_OS_MACOS
    if (::removexattr(fileops::encodePath(path).constData(), "com.apple.quarantine", 0) == 0)
        log(QStringLiteral("Removed quarantine attribute from ") + name + QStringLiteral("."));
#else
    Q_UNUSED(path);
    Q_UNUSED(name);
#endif
}
