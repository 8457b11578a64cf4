#include "download/Listing.h"

#include "base/ClockText.h"

#include "download/DownloadOutput.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

#include <cmath>

namespace download {

namespace {

// One JSON object a line: titles may hold any separator, line breaks too.
const QString entryTemplate = QStringLiteral("%(.{id,title,channel,uploader,duration,url,webpage_url})j");

QString stringField(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isString())
        return value.toString().trimmed();
    // Some sites give numeric ids.
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 17);
    return {};
}

}  // namespace

QString searchTarget(const QString& text)
{
    return QStringLiteral("ytsearch%1:").arg(searchResultCount) + text.trimmed();
}

bool isYtDlpSearch(const QString& text)
{
    // yt-dlp's search keys, spelt as it reads them: in lower case.
    static const QRegularExpression key(
        QStringLiteral("^(?:yt|ytm|sc|gv|bili|nico|net|rkfn|yv)search(?:date)?(?:\\d+|all)?:"));
    return key.match(text.trimmed()).hasMatch();
}

bool namesPlaylistOnly(const QString& url)
{
    const QUrl parsed(url);
    const QString host = parsed.host().toLower();
    const bool youtube = host == QLatin1String("youtube.com") || host.endsWith(QLatin1String(".youtube.com"));
    if (!youtube || parsed.path() != QLatin1String("/playlist"))
        return false;
    const QUrlQuery query(parsed);
    return !query.queryItemValue(QStringLiteral("list")).isEmpty() && !query.hasQueryItem(QStringLiteral("v"));
}

QStringList listingArguments(const QString& target, const QString& cookiesBrowser)
{
    QStringList arguments = {QStringLiteral("--flat-playlist"), QStringLiteral("--print"), entryTemplate};
    if (!cookiesBrowser.isEmpty())
        arguments << QStringLiteral("--cookies-from-browser") << cookiesBrowser.toLower();
    arguments << QStringLiteral("--") << target;
    return arguments;
}

std::optional<ListedEntry> parseListedEntry(const QString& line)
{
    if (!line.startsWith(QLatin1Char('{')))
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    ListedEntry entry;
    entry.id = stringField(object, "id");
    entry.title = stringField(object, "title");
    entry.channel = stringField(object, "channel");
    if (entry.channel.isEmpty())
        entry.channel = stringField(object, "uploader");
    // A flat entry's url is its page; a resolved one without a url is known by its page.
    entry.url = stringField(object, "url");
    if (entry.url.isEmpty())
        entry.url = stringField(object, "webpage_url");
    if (entry.url.isEmpty())
        return std::nullopt;
    if (const QJsonValue duration = object.value(QLatin1String("duration")); duration.isDouble())
        entry.duration = duration.toDouble();
    return entry;
}

QString durationText(std::optional<double> seconds)
{
    if (!seconds || !std::isfinite(*seconds) || *seconds < 0 || *seconds > 1e9)
        return {};
    return clockText(qint64(std::llround(*seconds)));
}

QString entryLabel(const ListedEntry& entry)
{
    QString label = !entry.title.isEmpty() ? entry.title : !entry.id.isEmpty() ? entry.id : entry.url;
    if (!entry.channel.isEmpty())
        label += QStringLiteral(" \u2014 ") + entry.channel;
    if (const QString duration = durationText(entry.duration); !duration.isEmpty())
        label += QStringLiteral(" (") + duration + QLatin1Char(')');
    return label;
}

ListingJob::ListingJob(Params params, QObject* parent) : YtDlpRunJob(parent), m_params(std::move(params))
{
    connect(&m_child, &ChildProcess::output, this, &ListingJob::handleOutput);
    connect(&m_child, &ChildProcess::finished, this, &ListingJob::onFinished);
}

void ListingJob::start()
{
    emit stage(m_params.stage);
    emit progress(-1);
    m_child.setProgram(m_params.executable);
    m_child.setArguments(listingArguments(m_params.target, m_params.cookiesBrowser));
    m_child.setEnvironment(m_params.environment);
    if (!m_child.start()) {
        log(QStringLiteral("Failed to start yt-dlp: ") + m_child.result().error);
        finishWith(Outcome::failed);
    }
}

void ListingJob::stop()
{
    m_child.stop();
}

void ListingJob::handleOutput(const QString& text)
{
    QStringList lines;
    for (const QString& line : splitOutputLines(text)) {
        if (std::optional<ListedEntry> entry = parseListedEntry(line)) {
            m_entries << std::move(*entry);
            continue;
        }
        readFailureClues(line);
        lines << line;
    }
    if (!lines.isEmpty())
        emit logEntries(lines);
}

void ListingJob::onFinished(const RunResult& result)
{
    if (result.outcome == RunResult::Outcome::stopped) {
        log(QStringLiteral("Stopped."));
        finishWith(Outcome::stopped);
        return;
    }
    if (result.status != 0) {
        failRun(result);
        return;
    }
    finishWith(Outcome::succeeded);
}

}  // namespace download
