#include "separation/Manifest.h"

#include <QCborValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace separation {

namespace {

void appendString(QByteArray& out, const QString& text)
{
    out += '"';
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += QStringView(text).mid(i, 2).toUtf8();
            ++i;
            continue;
        }
        switch (c) {
        case U'"': out += "\\\""; break;
        case U'\\': out += "\\\\"; break;
        case U'/': out += "\\/"; break;
        case U'\b': out += "\\b"; break;
        case U'\f': out += "\\f"; break;
        case U'\n': out += "\\n"; break;
        case U'\r': out += "\\r"; break;
        case U'\t': out += "\\t"; break;
        default:
            // A lone surrogate is a byte of a file name that is not UTF-8: escaped, it survives.
            if (c < 0x20 || QChar::isSurrogate(c)) {
                out += QByteArray("\\u") + QByteArray::number(uint(c), 16).rightJustified(4, '0');
            } else {
                out += QString(QChar(c)).toUtf8();
            }
        }
    }
    out += '"';
}

void appendNumber(QByteArray& out, const QJsonValue& value)
{
    // Integers (sizes) keep every digit; only true fractions use a double form.
    const QCborValue cbor = QCborValue::fromJsonValue(value);
    if (cbor.isInteger()) {
        out += QByteArray::number(cbor.toInteger());
        return;
    }
    const double d = value.toDouble();
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    out += QByteArray::number(d, 'g', 17);
}

void appendValue(QByteArray& out, const QJsonValue& value, int depth)
{
    const QByteArray indent(2 * (depth + 1), ' ');
    const QByteArray closing(2 * depth, ' ');
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined: out += "null"; break;
    case QJsonValue::Bool: out += value.toBool() ? "true" : "false"; break;
    case QJsonValue::Double: appendNumber(out, value); break;
    case QJsonValue::String: appendString(out, value.toString()); break;
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        if (array.isEmpty()) {
            out += "[]";
            break;
        }
        out += "[\n";
        for (qsizetype i = 0; i < array.size(); ++i) {
            out += indent;
            appendValue(out, array.at(i), depth + 1);
            out += i + 1 < array.size() ? ",\n" : "\n";
        }
        out += closing + ']';
        break;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        if (object.isEmpty()) {
            out += "{}";
            break;
        }
        QStringList keys = object.keys();
        std::sort(keys.begin(), keys.end());
        out += "{\n";
        for (qsizetype i = 0; i < keys.size(); ++i) {
            out += indent;
            appendString(out, keys.at(i));
            out += " : ";
            appendValue(out, object.value(keys.at(i)), depth + 1);
            out += i + 1 < keys.size() ? ",\n" : "\n";
        }
        out += closing + '}';
        break;
    }
    }
}

}  // namespace

QByteArray prettyJson(const QJsonValue& value)
{
    QByteArray out;
    appendValue(out, value, 0);
    return out;
}

QString internetDateTime(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

QByteArray manifestJson(const Manifest& manifest)
{
    QJsonArray stems;
    for (const ManifestStem& stem : manifest.stems) {
        stems.append(QJsonObject{
            {QStringLiteral("contentType"), stem.contentType},
            {QStringLiteral("kind"), stem.kind},
            {QStringLiteral("path"), stem.path},
            {QStringLiteral("size"), stem.size},
            {QStringLiteral("source"), QStringLiteral("local")},
        });
    }
    const QJsonObject root{
        {QStringLiteral("createdAt"), internetDateTime(manifest.createdAt)},
        {QStringLiteral("mode"), manifest.mode},
        {QStringLiteral("model"), manifest.model},
        {QStringLiteral("source"), QStringLiteral("stemloft")},
        {QStringLiteral("sourceAudioPath"), manifest.sourceAudioPath},
        {QStringLiteral("stems"), stems},
    };
    return prettyJson(root);
}

std::optional<Manifest> parseManifest(const QByteArray& json)
{
    const QJsonObject root = QJsonDocument::fromJson(json).object();
    const QJsonValue source = root.value(QStringLiteral("sourceAudioPath"));
    if (!source.isString())
        return std::nullopt;
    Manifest manifest;
    manifest.sourceAudioPath = source.toString();
    manifest.mode = root.value(QStringLiteral("mode")).toString();
    manifest.model = root.value(QStringLiteral("model")).toString();
    const QJsonArray stems = root.value(QStringLiteral("stems")).toArray();
    for (const QJsonValue& value : stems) {
        const QJsonObject stem = value.toObject();
        manifest.stems.append({stem.value(QStringLiteral("kind")).toString(), stem.value(QStringLiteral("path")).toString(),
                               stem.value(QStringLiteral("size")).toInteger(),
                               stem.value(QStringLiteral("contentType")).toString()});
    }
    return manifest;
}

}  // namespace separation
