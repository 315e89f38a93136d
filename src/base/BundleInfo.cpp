#include "base/BundleInfo.h"

#include "BuildInfo.h"

namespace {

QVariantMap builtInDictionary()
{
    return {
        { BundleInfo::shortVersionKey, QStringLiteral(SONOREL_VERSION) },
        { BundleInfo::versionKey, QStringLiteral(SONOREL_BUILD) },
    };
}

std::optional<QVariantMap> &replacement()
{
    static std::optional<QVariantMap> dictionary;
    return dictionary;
}

} // namespace

std::optional<QString> BundleInfo::string(const QString &key)
{
    const QVariant value = infoDictionary().value(key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

QString BundleInfo::stringOrDash(const QString &key)
{
    return string(key).value_or(QStringLiteral("-"));
}

QVariantMap BundleInfo::infoDictionary()
{
    return replacement().value_or(builtInDictionary());
}

void BundleInfo::setInfoDictionary(const QVariantMap &dictionary)
{
    replacement() = dictionary;
}

void BundleInfo::resetInfoDictionary()
{
    replacement().reset();
}
