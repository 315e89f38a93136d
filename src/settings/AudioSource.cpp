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

QString AudioSource::printable(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        if (c.unicode() < 0x20)
            c = QChar(0x2400 + c.unicode());
        else if (c.unicode() == 0x7f)
            c = QChar(0x2421);
        else if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line
            || c.category() == QChar::Separator_Paragraph)
            c = QChar::ReplacementCharacter;
    }
    return out;
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
