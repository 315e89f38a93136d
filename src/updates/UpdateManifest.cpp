#include "updates/UpdateManifest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>

#include <cmath>

namespace {

using Kind = ManifestDecodeError::Kind;

// A failed read; carried out of the field readers by exception so that the decoding reads like the field
// list. Never escapes decode().
struct Failure {
    ManifestDecodeError error;
};

QString typeName(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

class Reader final
{
public:
    Reader(const QJsonObject &object, QString prefix) : m_object(object), m_prefix(std::move(prefix)) { }

    QString path(const QString &key) const { return m_prefix.isEmpty() ? key : m_prefix + u'.' + key; }

    [[noreturn]] void fail(Kind kind, const QString &key, const QString &detail) const
    {
        throw Failure { ManifestDecodeError(kind, path(key), detail) };
    }

    QJsonValue required(const QString &key, const QString &expected) const
    {
        const auto it = m_object.constFind(key);
        if (it == m_object.constEnd())
            fail(Kind::keyNotFound, key, QStringLiteral("No value associated with key \"%1\".").arg(key));
        if (it->isNull())
            fail(Kind::valueNotFound, key, QStringLiteral("Expected %1 but found null instead.").arg(expected));
        return *it;
    }

    // Absent key and null both give an undefined value.
    QJsonValue optional(const QString &key) const
    {
        const QJsonValue value = m_object.value(key);
        return value.isNull() ? QJsonValue(QJsonValue::Undefined) : value;
    }

    QString string(const QString &key) const { return expectString(key, required(key, QStringLiteral("a string"))); }

    std::optional<QString> optionalString(const QString &key) const
    {
        const QJsonValue value = optional(key);
        if (value.isUndefined())
            return std::nullopt;
        return expectString(key, value);
    }

    std::optional<QString> optionalNonEmptyString(const QString &key) const
    {
        auto value = optionalString(key);
        if (value && value->isEmpty())
            return std::nullopt;
        return value;
    }

    QJsonObject object(const QString &key) const
    {
        const QJsonValue value = required(key, QStringLiteral("an object"));
        if (!value.isObject())
            fail(Kind::typeMismatch, key,
                QStringLiteral("Expected an object but found %1 instead.").arg(typeName(value)));
        return value.toObject();
    }

    std::optional<QDateTime> optionalTimestamp(const QString &key) const
    {
        const auto text = optionalString(key);
        if (!text)
            return std::nullopt;
        auto instant = UpdateManifest::parseInternetDateTime(*text);
        if (!instant)
            fail(Kind::dataCorrupted, key, QStringLiteral("Expected date string to be ISO8601-formatted."));
        return instant;
    }

    // JSON numbers arrive as 64-bit integers when written as one; anything else must be an integral
    // double small enough to be exact, so that a rounded value is never taken for the real one.
    std::optional<qint64> optionalInt64(const QString &key) const
    {
        const QJsonValue value = optional(key);
        if (value.isUndefined())
            return std::nullopt;
        if (!value.isDouble())
            fail(Kind::typeMismatch, key,
                QStringLiteral("Expected an integer but found %1 instead.").arg(typeName(value)));
        const QVariant number = value.toVariant();
        if (number.typeId() == QMetaType::LongLong)
            return number.toLongLong();
        const double d = number.toDouble();
        constexpr double exactLimit = 9007199254740992.0; // 2^53
        if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) > exactLimit)
            fail(Kind::dataCorrupted, key,
                QStringLiteral("Parsed JSON number <%1> does not fit in a 64-bit integer.").arg(d, 0, 'g', 17));
        return static_cast<qint64>(d);
    }

private:
    QString expectString(const QString &key, const QJsonValue &value) const
    {
        if (!value.isString())
            fail(Kind::typeMismatch, key,
                QStringLiteral("Expected a string but found %1 instead.").arg(typeName(value)));
        return value.toString();
    }

    QJsonObject m_object;
    QString m_prefix;
};

UpdateManifest::Payload decodePayload(const QJsonObject &object)
{
    const Reader reader(object, QStringLiteral("download"));
    UpdateManifest::Payload payload;
    const auto url = UpdateManifest::lenientUrl(reader.string(QStringLiteral("url")));
    if (!url)
        reader.fail(Kind::dataCorrupted, QStringLiteral("url"), QStringLiteral("Invalid URL value"));
    payload.url = *url;
    payload.size = reader.optionalInt64(QStringLiteral("size"));
    payload.sha256 = reader.optionalNonEmptyString(QStringLiteral("sha256"));
    payload.signature = reader.optionalNonEmptyString(QStringLiteral("signature"));
    return payload;
}

UpdateManifest decodeManifest(const QJsonObject &object)
{
    const Reader reader(object, QString());
    UpdateManifest manifest;
    manifest.version = reader.string(QStringLiteral("version"));
    manifest.build = reader.string(QStringLiteral("build"));
    manifest.minimumOs = reader.optionalString(QStringLiteral("minimum_os"));
    manifest.releasedAt = reader.optionalTimestamp(QStringLiteral("released_at"));
    if (const auto notes = reader.optionalString(QStringLiteral("release_notes_url")))
        manifest.releaseNotesUrl = UpdateManifest::lenientUrl(*notes);
    manifest.bundleName = reader.string(QStringLiteral("bundle_name"));
    manifest.download = decodePayload(reader.object(QStringLiteral("download")));
    return manifest;
}

} // namespace

UpdateManifest::DecodeResult UpdateManifest::decode(const QByteArray &json)
{
    QJsonParseError parseError {};
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return ManifestDecodeError(Kind::dataCorrupted, QString(),
            QStringLiteral("The given data was not valid JSON (%1 at offset %2).")
                .arg(parseError.errorString())
                .arg(parseError.offset));
    if (!document.isObject())
        return ManifestDecodeError(
            Kind::typeMismatch, QString(), QStringLiteral("Expected an object but found an array instead."));
    try {
        return decodeManifest(document.object());
    } catch (const Failure &failure) {
        return failure.error;
    }
}

std::optional<QUrl> UpdateManifest::lenientUrl(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    QUrl url(trimmed, QUrl::StrictMode);
    if (url.isValid())
        return url;
    QString escaped = trimmed;
    escaped.replace(u' ', QStringLiteral("%20"));
    url = QUrl(escaped, QUrl::StrictMode);
    if (url.isValid())
        return url;
    return std::nullopt;
}

std::optional<QDateTime> UpdateManifest::parseInternetDateTime(const QString &text)
{
    // Full date, "T", time to the second, and a zone: "Z" or a signed hours:minutes offset.
    static const QRegularExpression pattern(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})(?:(Z)|([+-])(\\d{2}):(\\d{2}))$"));
    const auto match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const auto number = [&](int group) { return match.capturedView(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    const QTime time(number(4), number(5), number(6));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    int offsetSeconds = 0;
    if (!match.hasCaptured(7)) {
        const int hours = number(9);
        const int minutes = number(10);
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = (hours * 3600 + minutes * 60) * (match.capturedView(8) == u"-" ? -1 : 1);
    }
    const QDateTime local(date, time, Qt::OffsetFromUTC, offsetSeconds);
    if (!local.isValid())
        return std::nullopt;
    return local.toUTC();
}
