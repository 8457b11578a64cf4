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
const QString ytDlpStage = QStringLiteral("Installing yt-dlp");
const QString denoStage = QStringLiteral("Installing Deno");
const QString denoName = QStringLiteral("deno");
// unzip's status when none of the members asked for is in the archive.
constexpr int unzipNothingMatched = 11;

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

}  // namespace

YtDlpInstallJob::YtDlpInstallJob(Params params, QObject* parent) : Job(parent), m_params(std::move(params))
{
    m_progressTimer.setInterval(m_params.progressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &YtDlpInstallJob::logProgress);
}

YtDlpInstallJob::~YtDlpInstallJob()
{
    if (!m_child || !m_child->isActive())
        return;
    m_child->killAndReap();
    fileops::removeItemQuietly(temporaryFile());
    removeDenoDebris();
}

QString YtDlpInstallJob::destination() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("yt-dlp"));
}

QString YtDlpInstallJob::temporaryFile() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("yt-dlp.download"));
}

QString YtDlpInstallJob::denoDestination() const
{
    return fileops::appendingComponent(m_params.supportFolder, denoName);
}

QString YtDlpInstallJob::denoArchive() const
{
    return fileops::appendingComponent(m_params.supportFolder, QStringLiteral("deno.zip.download"));
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
        for (const QString& leftover : {temporaryFile(), denoArchive(), denoUnpackFolder()}) {
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

bool YtDlpInstallJob::startDownload(const QString& url, const QString& file, const QString& stageText, Handler done)
{
    m_progressFile = file;
    m_progressStage = stageText;
    const QStringList arguments = {QStringLiteral("-L"), QStringLiteral("--fail"), QStringLiteral("--show-error"),
                                   QStringLiteral("--silent"), url, QStringLiteral("-o"), file};
    if (!runChild(m_params.curl, arguments, done))
        return false;
    m_progressTimer.start();  // the first tick comes one interval after the start
    return true;
}

void YtDlpInstallJob::logProgress()
{
    const std::optional<qint64> size = fileops::fileSize(m_progressFile);
    if (!size)
        return;  // curl has not created the file yet
    const QString bytes = ytdlp::formatFileByteCount(*size);
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
    const QString target = destination();
    try {
        putExecutableInPlace(temporary, target);
    } catch (const AppError& error) {
        fail(QStringLiteral("Install failed: ") + error.localizedDescription());
        return;
    }
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
        finishStopped({denoArchive()});
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
        finishStopped({denoArchive(), denoUnpackFolder()});
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
        emit alert(QStringLiteral("yt-dlp Updated"), QStringLiteral("You can now download reference audio."));
    else
        emit alert(QStringLiteral("yt-dlp Installed"), QStringLiteral("You can now download reference audio."));
    finishWith(Outcome::succeeded);
}

void YtDlpInstallJob::fail(const QString& message)
{
    log(message);
    emit alert(failedTitle, message);
    finishWith(Outcome::failed);
}

void YtDlpInstallJob::failDeno(const QString& reason)
{
    // The new yt-dlp stays: it works for every site but YouTube without Deno.
    removeDenoDebris();
    const QString message = QStringLiteral("yt-dlp is installed, but Deno is not: ") + reason +
                            QStringLiteral(" YouTube downloads may fail without it; choose Update yt-dlp to try again.");
    log(message);
    emit alert(QStringLiteral("Deno Install Failed"), message);
    finishWith(Outcome::failed);
}

void YtDlpInstallJob::finishStopped(const QStringList& debris)
{
    for (const QString& item : debris)
        fileops::removeItemQuietly(item);
    log(QStringLiteral("Stopped."));
    finishWith(Outcome::stopped);
}

void YtDlpInstallJob::removeDenoDebris() const
{
    fileops::removeItemQuietly(denoArchive());
    fileops::removeItemQuietly(denoUnpackFolder());
}

void YtDlpInstallJob::removeQuarantineAttribute(const QString& path, const QString& name)
{
    if (!m_params.removesQuarantine)
        return;
#ifdef Q_OS_MACOS
    if (::removexattr(QFile::encodeName(path).constData(), "com.apple.quarantine", 0) == 0)
        log(QStringLiteral("Removed quarantine attribute from ") + name + QStringLiteral("."));
#else
    Q_UNUSED(path);
    Q_UNUSED(name);
#endif
}
