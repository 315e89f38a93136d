#pragma once

#include "updates/ManifestDecodeError.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <optional>
#include <variant>

// The release described by the update server's manifest. A plain value: decoded completely or not at all.
struct UpdateManifest {
    // The downloadable disk image.
    struct Payload {
        QUrl url;
        std::optional<qint64> size;
        std::optional<QString> sha256;
        std::optional<QString> signature;

        friend bool operator==(const Payload &, const Payload &) = default;
    };

    QString version;
    QString build;
    std::optional<QString> minimumOs;
    std::optional<QDateTime> releasedAt;
    std::optional<QUrl> releaseNotesUrl;
    QString bundleName;
    Payload download;

    friend bool operator==(const UpdateManifest &, const UpdateManifest &) = default;

    using DecodeResult = std::variant<UpdateManifest, ManifestDecodeError>;

    // Decodes the body of the manifest response. Keys are matched exactly; unknown keys are ignored.
    static DecodeResult decode(const QByteArray &json);

    // Trimmed, parsed strictly, and failing that parsed again with every space written as "%20".
    // Relative and non-web addresses are accepted here; they fail when fetched.
    static std::optional<QUrl> lenientUrl(const QString &text);

    // An internet date-time such as 2025-01-31T09:30:00Z or 2025-01-31T10:30:00+01:00, in UTC.
    static std::optional<QDateTime> parseInternetDateTime(const QString &text);
};
