#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <optional>

namespace separation {

struct ManifestStem {
    QString kind;
    QString path;  // relative to the save folder, "/" separated
    qint64 size = 0;
    QString contentType = QStringLiteral("audio/mp4");
};

struct Manifest {
    QDateTime createdAt;
    QString mode;
    QString model;
    QString sourceAudioPath;
    QList<ManifestStem> stems;
};

// Pretty-printed JSON in the layout of the platform writer the manifest
// format came from: two-space indent, " : " between key and value, keys in
// ascending order, every "/" escaped, non-ASCII written as UTF-8, integers
// without a fraction, no trailing newline and no byte-order mark.
QByteArray prettyJson(const QJsonValue& value);

// ISO 8601 in UTC to whole seconds with "Z".
QString internetDateTime(const QDateTime& time);

QByteArray manifestJson(const Manifest& manifest);

// A manifest read back: its members that have the expected types (createdAt
// stays invalid); nothing when the bytes are not a JSON object with a
// "sourceAudioPath" string.
std::optional<Manifest> parseManifest(const QByteArray& json);

}  // namespace separation
