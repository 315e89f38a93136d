#pragma once

#include <QString>
#include <QVariantMap>

#include <optional>

// The application's information dictionary: "CFBundleShortVersionString" (the marketing version) and
// "CFBundleVersion" (the build), filled in at build time. Tests replace the dictionary to make a key
// missing or of the wrong type. Read on the main thread.
class BundleInfo final
{
public:
    static inline const QString shortVersionKey = QStringLiteral("CFBundleShortVersionString");
    static inline const QString versionKey = QStringLiteral("CFBundleVersion");

    // The value of `key` when it is present and a string; otherwise nothing.
    static std::optional<QString> string(const QString &key);
    // The same, with "-" for a missing or non-string value, as the application shows it.
    static QString stringOrDash(const QString &key);

    static QVariantMap infoDictionary();
    static void setInfoDictionary(const QVariantMap &dictionary);
    static void resetInfoDictionary();
};
