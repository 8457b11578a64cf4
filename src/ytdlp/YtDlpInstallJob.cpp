#include "ytdlp/YtDlpInstallJob.h"

#include "base/AppError.h"
#include "base/Background.h"
#include "base/ByteCount.h"
#include "base/FileOps.h"
#include "ytdlp/Verification.h"
#include "ytdlp/YtDlpLocator.h"

#include <QFileInfo>
#include <QThread>

#include <memory>

#ifdef Q_OS_MACOS
#include <sys/xattr.h>
#endif

namespace {

const QString failedTitle = QStringLiteral("yt-dlp Install Failed");
const QString ytDlpStage = QStringLiteral("Installing yt-dlp");
const QString denoStage = QStringLiteral("Installing Deno");
const QString denoName = QStringLiteral("deno");
// unzip's status when none of the members asked for is in the archive.
constexpr int unzipNothingMatched = 11;
const QString checksumMismatch = QStringLiteral("The download did not match its published checksum.");
// Far more than any list of checksums holds; only this much is read.
constexpr qint64 checksumFileLimit = 1 << 20;

// The new file gets its mode first, then rename(2) puts it over the old one
// in one step, so the old tool survives any failing step. Only a folder in
// the way, which no tool can be, is removed beforehand.
void putExecutableInPlace(const QString& file, const QString& target)
{
    fileops::setPosixPermissions(file, 0755);
    const QFileInfo existing(target);
    if (existing.isDir() && !existing.isSymLink())
        fileops::removeItem(target);
    fileops::moveItem(file, target);
}

QString exitCodeMessage(const RunResult& result)
{
    return failureMessage(result, QStringLiteral("curl"),
                          QStringLiteral("Download failed with exit code %1.").arg(result.status));
}

QByteArray readChecksumFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(checksumFileLimit) : QByteArray();
}

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

YtDlpInstallJob::YtDlpInstallJob(Params params, QObject* parent) : Job(parent), m_params(std::move(params))
{
    m_progressTimer.setInterval(m_params.progressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &YtDlpInstallJob::logProgress);
}

YtDlpInstallJob::~YtDlpInstallJob()
{
    if (m_hashing) {
        m_hashing->wait();
        removeDenoDebris();
        return;
    }
    if (!m_child || !m_child->isActive())
        return;
    m_child->killAndReap();
    for (const QString& item : ytDlpDebris() + denoDebris())
        fileops::removeItemQuietly(item);
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

QString YtDlpInstallJob::denoArchive() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("deno.zip.download"));
}

QString YtDlpInstallJob::denoChecksumFile() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("deno.zip.sha256sum.download"));
}

QString YtDlpInstallJob::denoUnpackFolder() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("deno.unpack"));
}

void YtDlpInstallJob::start()
{
    try {
        fileops::createDirectories(m_params.supportFolder);
        // Leftovers of an earlier attempt.
        for (const QString& leftover : ytDlpDebris() + denoDebris()) {
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
    if (!startDownload(m_params.sourceURL, temporaryFile(), ytDlpStage, &YtDlpInstallJob::onYtDlpDownloaded)) {
        log(QStringLiteral("Install failed: ") + m_child->result().error);
        finishWith(Outcome::failed);
    }
}

void YtDlpInstallJob::stop()
{
    if (m_hashing) {
        m_stopRequested = true;  // the hash's end sees it
        return;
    }
    if (m_child)
        m_child->stop();
}

bool YtDlpInstallJob::runChild(const QString& program, const QStringList& arguments, Handler done)
{
    // A step's child ends inside its own signal, so it is deleted later.
    if (m_child)
        m_child->deleteLater();
    auto* child = new ChildProcess(this);
    m_child = child;
    connect(child, &ChildProcess::output, this, [this](const QString& text) {
        emit logEntries(splitOutputLines(text));
    });
    connect(child, &ChildProcess::finished, this, done);
    child->setProgram(program);
    child->setArguments(arguments);
    child->setEnvironment(m_params.environment);
    return child->start();
}

bool YtDlpInstallJob::runCurl(const QString& url, const QString& file, Handler done)
{
    const QStringList arguments = {QStringLiteral("-L"), QStringLiteral("--fail"), QStringLiteral("--show-error"),
                                   QStringLiteral("--silent"), url, QStringLiteral("-o"), file};
    return runChild(m_params.curl, arguments, done);
}

bool YtDlpInstallJob::startDownload(const QString& url, const QString& file, const QString& stageText, Handler done)
{
    m_progressFile = file;
    m_progressStage = stageText;
    if (!runCurl(url, file, done))
        return false;
    m_progressTimer.start();  // the first tick comes one interval after the start
    return true;
}

void YtDlpInstallJob::logProgress()
{
    const std::optional<qint64> size = fileops::fileSize(m_progressFile);
    if (!size)
        return;  // curl has not created the file yet
    const QString bytes = formatFileByteCount(*size);
    emit stage(m_progressStage + QStringLiteral(": ") + bytes);
    log(QStringLiteral("Downloaded ") + bytes + QStringLiteral("..."));
}

void YtDlpInstallJob::onYtDlpDownloaded(const RunResult& result)
{
    m_progressTimer.stop();
    const QString temporary = temporaryFile();
    if (result.outcome == RunResult::Outcome::stopped) {
        // The old tool was never touched; only the half download goes.
        finishStopped({temporary});
        return;
    }
    if (result.status != 0) {
        fail(exitCodeMessage(result));
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
        fail(QStringLiteral("The published checksum could not be downloaded: ") + exitCodeMessage(result));
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
        fail(QStringLiteral("The signature could not be downloaded: ") + exitCodeMessage(result));
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
        const QByteArray list = readChecksumFile(checksumsFile());
        if (!hasDigest(temporary, verification::listedSha256(list, m_params.assetName))) {
            fail(checksumMismatch);
            return;
        }
        log(signatureChecked ? QStringLiteral("Verified SHA-256 and signature.") : QStringLiteral("Verified SHA-256."));
        putExecutableInPlace(temporary, target);
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
    // Checked before a download of tens of megabytes that could not be unpacked.
    if (!fileops::isExecutableFile(m_params.unzip)) {
        failDeno(QStringLiteral("unzip was not found at ") + m_params.unzip + QStringLiteral("."));
        return;
    }
    emit stage(denoStage);
    emit progress(-1);
    emit logEntries({QStringLiteral("Installing Deno (JavaScript runtime for YouTube)..."), m_params.denoSourceURL});
    if (!startDownload(m_params.denoSourceURL, denoArchive(), denoStage, &YtDlpInstallJob::onDenoDownloaded))
        failDeno(QStringLiteral("curl could not be started: ") + m_child->result().error);
}

void YtDlpInstallJob::onDenoDownloaded(const RunResult& result)
{
    m_progressTimer.stop();
    if (result.outcome == RunResult::Outcome::stopped) {
        finishStopped(denoDebris());
        return;
    }
    if (result.status != 0) {
        failDeno(exitCodeMessage(result));
        return;
    }
    if (!fileops::itemExists(denoArchive())) {
        failDeno(QStringLiteral("Download failed: the Deno archive was not created."));
        return;
    }
    const QString url = m_params.denoSourceURL + QStringLiteral(".sha256sum");
    if (!runCurl(url, denoChecksumFile(), &YtDlpInstallJob::onDenoChecksumDownloaded))
        failDeno(QStringLiteral("curl could not be started: ") + m_child->result().error);
}

void YtDlpInstallJob::onDenoChecksumDownloaded(const RunResult& result)
{
    if (result.outcome == RunResult::Outcome::stopped) {
        finishStopped(denoDebris());
        return;
    }
    if (result.status != 0) {
        failDeno(QStringLiteral("The published checksum could not be downloaded: ") + exitCodeMessage(result));
        return;
    }
    const std::optional<QByteArray> expected = verification::firstSha256(readChecksumFile(denoChecksumFile()));
    auto actual = std::make_shared<std::optional<QByteArray>>();
    auto error = std::make_shared<QString>();
    // Some tens of megabytes would hold the window for a good part of a second.
    m_hashing = fileops::runInBackground(
        [archive = denoArchive(), actual, error] { *actual = verification::fileSha256(archive, error.get()); }, this,
        [this, expected, actual, error] {
            m_hashing = nullptr;
            onDenoHashed(expected && *expected == *actual, *error);
        });
}

void YtDlpInstallJob::onDenoHashed(bool matches, const QString& readError)
{
    if (m_stopRequested) {
        finishStopped(denoDebris());
        return;
    }
    if (!readError.isEmpty()) {
        failDeno(QStringLiteral("Install failed: ") + readError);
        return;
    }
    if (!matches) {
        failDeno(checksumMismatch);
        return;
    }
    log(QStringLiteral("Verified SHA-256."));
    const QString folder = denoUnpackFolder();
    try {
        fileops::createDirectories(folder);
    } catch (const AppError& error) {
        failDeno(QStringLiteral("Install failed: ") + error.localizedDescription());
        return;
    }
    // Only the one member: nothing else of the archive is wanted, and "-o"
    // keeps unzip from asking (standard input is /dev/null).
    const QStringList arguments = {QStringLiteral("-o"), QStringLiteral("-q"), denoArchive(), denoName,
                                   QStringLiteral("-d"), folder};
    if (!runChild(m_params.unzip, arguments, &YtDlpInstallJob::onDenoUnpacked))
        failDeno(QStringLiteral("unzip could not be started: ") + m_child->result().error);
}

void YtDlpInstallJob::onDenoUnpacked(const RunResult& result)
{
    if (result.outcome == RunResult::Outcome::stopped) {
        finishStopped(denoDebris());
        return;
    }
    const QString noDeno = QStringLiteral("The downloaded archive has no deno program in it.");
    if (result.outcome == RunResult::Outcome::failed && result.status == unzipNothingMatched) {
        failDeno(noDeno);
        return;
    }
    if (result.status != 0) {
        failDeno(failureMessage(result, QStringLiteral("unzip"),
                                QStringLiteral("unzip failed with exit code %1.").arg(result.status)));
        return;
    }
    // A link would put whatever it points at in the tool's place.
    const QString unpacked = fileops::appendingComponent(denoUnpackFolder(), denoName);
    const QFileInfo info(unpacked);
    if (!info.isFile() || info.isSymLink()) {
        failDeno(noDeno);
        return;
    }
    const QString target = denoDestination();
    try {
        putExecutableInPlace(unpacked, target);
    } catch (const AppError& error) {
        failDeno(QStringLiteral("Install failed: ") + error.localizedDescription());
        return;
    }
    removeDenoDebris();
    removeQuarantineAttribute(target, QStringLiteral("Deno"));
    log(QStringLiteral("Deno installed: ") + target);
    succeed();
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
    removeDenoDebris();
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

QStringList YtDlpInstallJob::denoDebris() const
{
    return {denoArchive(), denoChecksumFile(), denoUnpackFolder()};
}

void YtDlpInstallJob::removeDenoDebris() const
{
    for (const QString& item : denoDebris())
        fileops::removeItemQuietly(item);
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
