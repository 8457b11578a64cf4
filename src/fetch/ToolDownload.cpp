#include "fetch/ToolDownload.h"

#include "base/AppError.h"
#include "base/Background.h"
#include "base/FileOps.h"
#include "fetch/Verification.h"

#include <QFileInfo>
#include <QThread>

#include <memory>

namespace {

// unzip's status when none of the members asked for is in the archive.
constexpr int unzipNothingMatched = 11;

}  // namespace

ToolDownload::ToolDownload(Params params, QObject* parent)
    : QObject(parent), m_params(std::move(params)), m_ticker(m_params.progressIntervalMs)
{
    connect(&m_ticker, &DownloadTicker::ticked, this, &ToolDownload::downloaded);
}

QStringList fetch::curlArguments(const QString& url, const QString& file)
{
    return {QStringLiteral("-L"), QStringLiteral("--fail"), QStringLiteral("--show-error"), QStringLiteral("--silent"),
            url, QStringLiteral("-o"), file};
}

ChildProcess* fetch::newStep(QObject* owner, QPointer<ChildProcess>& slot, const QString& program,
                             const QStringList& arguments, const QProcessEnvironment& environment,
                             std::function<void(const QString&)> output)
{
    if (slot)
        slot->deleteLater();
    auto* child = new ChildProcess(owner);
    slot = child;
    QObject::connect(child, &ChildProcess::output, owner, std::move(output));
    child->setProgram(program);
    child->setArguments(arguments);
    child->setEnvironment(environment);
    return child;
}

QString ToolDownload::curlFailure(const RunResult& result)
{
    return failureMessage(result, QStringLiteral("curl"),
                          QStringLiteral("Download failed with exit code %1.").arg(result.status));
}

ToolDownload::~ToolDownload()
{
    if (m_hashing)
        m_hashing->wait();
    if (m_child && m_child->isActive())
        m_child->killAndReap();
    if (m_running)
        removeDebris();
}

QString ToolDownload::archiveSuffix() const
{
    return usesZip() ? QStringLiteral(".zip") : QStringLiteral(".tar.gz");
}

QString ToolDownload::archiveFile() const
{
    return m_params.destination + archiveSuffix() + QStringLiteral(".download");
}

QString ToolDownload::checksumFile() const
{
    return m_params.destination + archiveSuffix() + m_params.checksumSuffix + QStringLiteral(".download");
}

QString ToolDownload::unpackFolder() const
{
    return m_params.destination + QStringLiteral(".unpack");
}

bool ToolDownload::usesZip() const
{
    return m_params.archiveURL.endsWith(QLatin1String(".zip"));
}

QString ToolDownload::unpackerName() const
{
    return usesZip() ? QStringLiteral("unzip") : QStringLiteral("tar");
}

void ToolDownload::start()
{
    m_running = true;
    // Checked before a download of tens of megabytes that could not be unpacked.
    if (!fileops::isExecutableFile(m_params.unpacker)) {
        end(Outcome::failed, unpackerName() + QStringLiteral(" was not found at ") + m_params.unpacker +
                                 QLatin1Char('.'));
        return;
    }
    removeDebris();  // of an earlier attempt that never ended
    if (!runCurl(m_params.archiveURL, archiveFile(), &ToolDownload::onArchiveDownloaded)) {
        end(Outcome::failed, QStringLiteral("curl could not be started: ") + m_child->result().error);
        return;
    }
    m_ticker.start(archiveFile());
}

void ToolDownload::stop()
{
    if (!m_running)
        return;
    m_stopRequested = true;
    if (m_hashing)
        return;  // the hash's end sees it
    if (m_child)
        m_child->stop();
}

bool ToolDownload::runChild(const QString& program, const QStringList& arguments, Handler done)
{
    m_childOutput.clear();
    ChildProcess* child = fetch::newStep(this, m_child, program, arguments, m_params.environment, [this](const QString& text) {
        m_childOutput += text;
        emit logEntries(splitOutputLines(text));
    });
    connect(child, &ChildProcess::finished, this, done);
    return child->start();
}

bool ToolDownload::runCurl(const QString& url, const QString& file, Handler done)
{
    return runChild(m_params.curl, fetch::curlArguments(url, file), done);
}

void ToolDownload::onArchiveDownloaded(const RunResult& result)
{
    m_ticker.stop();
    // A stop that came as the step ended would find no child to stop.
    if (result.outcome == RunResult::Outcome::stopped || m_stopRequested) {
        end(Outcome::stopped);
    } else if (result.status != 0) {
        end(Outcome::failed, curlFailure(result));
    } else if (!fileops::itemExists(archiveFile())) {
        end(Outcome::failed,
            QStringLiteral("Download failed: the ") + m_params.name + QStringLiteral(" archive was not created."));
    } else if (!runCurl(m_params.archiveURL + m_params.checksumSuffix, checksumFile(), &ToolDownload::onChecksumDownloaded)) {
        end(Outcome::failed, QStringLiteral("curl could not be started: ") + m_child->result().error);
    }
}

void ToolDownload::onChecksumDownloaded(const RunResult& result)
{
    if (result.outcome == RunResult::Outcome::stopped || m_stopRequested) {
        end(Outcome::stopped);
        return;
    }
    if (result.status != 0) {
        end(Outcome::failed, QStringLiteral("The published checksum could not be downloaded: ") + curlFailure(result));
        return;
    }
    // Deno publishes either sha256sum's line or a PowerShell table, uv the line.
    const std::optional<QByteArray> expected =
        verification::firstSha256(verification::readChecksumFile(checksumFile()));
    auto actual = std::make_shared<std::optional<QByteArray>>();
    auto error = std::make_shared<QString>();
    // Some tens of megabytes would hold the window for a good part of a second.
    m_hashing = fileops::runInBackground(
        [archive = archiveFile(), actual, error] { *actual = verification::fileSha256(archive, error.get()); }, this,
        [this, expected, actual, error] {
            m_hashing = nullptr;
            onHashed(expected && *expected == *actual, *error);
        });
}

void ToolDownload::onHashed(bool matches, const QString& readError)
{
    if (m_stopRequested) {
        end(Outcome::stopped);
        return;
    }
    if (!readError.isEmpty()) {
        end(Outcome::failed, QStringLiteral("Install failed: ") + readError);
        return;
    }
    if (!matches) {
        end(Outcome::failed, QStringLiteral("The download did not match its published checksum."));
        return;
    }
    emit logEntries({QStringLiteral("Verified SHA-256.")});
    const QString folder = unpackFolder();
    try {
        fileops::createDirectories(folder);
    } catch (const AppError& error) {
        end(Outcome::failed, QStringLiteral("Install failed: ") + error.localizedDescription());
        return;
    }
    // Only the one member: nothing else of the archive is wanted. unzip's
    // "-o" keeps it from asking; tar keeps no owner from the archive, which
    // it would as root.
    const QStringList arguments =
        usesZip() ? QStringList{QStringLiteral("-o"), QStringLiteral("-q"), archiveFile(), m_params.member,
                                QStringLiteral("-d"), folder}
                  : QStringList{QStringLiteral("-xzf"), archiveFile(), QStringLiteral("--no-same-owner"),
                                QStringLiteral("-C"), folder, m_params.member};
    if (!runChild(m_params.unpacker, arguments, &ToolDownload::onUnpacked))
        end(Outcome::failed, unpackerName() + QStringLiteral(" could not be started: ") + m_child->result().error);
}

void ToolDownload::onUnpacked(const RunResult& result)
{
    if (result.outcome == RunResult::Outcome::stopped || m_stopRequested) {
        end(Outcome::stopped);
        return;
    }
    const QString program = fileops::lastComponent(m_params.member);
    const QString noProgram = QStringLiteral("The downloaded archive has no ") + program +
                              QStringLiteral(" program in it.");
    // GNU tar and bsdtar both say so of a member the archive lacks.
    const bool memberMissing =
        result.outcome == RunResult::Outcome::failed &&
        (usesZip() ? result.status == unzipNothingMatched : m_childOutput.contains(QLatin1String("Not found in archive")));
    if (memberMissing) {
        end(Outcome::failed, noProgram);
        return;
    }
    if (result.status != 0) {
        end(Outcome::failed, failureMessage(result, unpackerName(),
                                            unpackerName() + QStringLiteral(" failed with exit code %1.").arg(result.status)));
        return;
    }
    // A link would put whatever it points at in the tool's place.
    const QString unpacked = fileops::appendingComponent(unpackFolder(), m_params.member);
    const QFileInfo info(unpacked);
    if (!info.isFile() || info.isSymLink()) {
        end(Outcome::failed, noProgram);
        return;
    }
    try {
        fileops::putExecutableInPlace(unpacked, m_params.destination);
    } catch (const AppError& error) {
        end(Outcome::failed, QStringLiteral("Install failed: ") + error.localizedDescription());
        return;
    }
    end(Outcome::installed);
}

void ToolDownload::end(Outcome outcome, const QString& reason)
{
    m_ticker.stop();
    removeDebris();
    m_running = false;
    emit finished(outcome, reason);
}

void ToolDownload::removeDebris() const
{
    for (const QString& item : {archiveFile(), checksumFile(), unpackFolder()})
        fileops::removeItemQuietly(item);
}
