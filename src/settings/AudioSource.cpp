#include "settings/AudioSource.h"

#include <algorithm>

namespace {

const QString systemValue = QStringLiteral("system");
const QString applicationPrefix = QStringLiteral("app:");
const QString inputPrefix = QStringLiteral("input:");

bool isUsableName(const QString &name)
{
    return !name.trimmed().isEmpty() && name.size() <= AudioSource::maxNameLength
        && std::none_of(name.cbegin(), name.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

} // namespace

AudioSource AudioSource::fromSetting(const QString &value)
{
    for (const auto &[prefix, kind] :
        { std::pair { applicationPrefix, Kind::Application }, { inputPrefix, Kind::Input } }) {
        if (value.startsWith(prefix)) {
            const QString name = value.mid(prefix.size());
            return isUsableName(name) ? AudioSource { kind, name } : system();
        }
    }
    return system();
}

QString AudioSource::settingValue() const
{
    switch (kind) {
    case Kind::Application:
        return applicationPrefix + name;
    case Kind::Input:
        return inputPrefix + name;
    case Kind::System:
        break;
    }
    return systemValue;
}
