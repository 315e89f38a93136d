#pragma once

#include <QString>

// Why an update manifest could not be decoded: the kind of failure, where in the document it happened
// (a dotted key path such as "download.url", empty for the document itself) and a detail text.
class ManifestDecodeError final
{
public:
    enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };

    ManifestDecodeError(Kind kind, QString codingPath, QString debugDescription);

    Kind kind() const { return m_kind; }
    const QString &codingPath() const { return m_codingPath; }
    const QString &debugDescription() const { return m_debugDescription; }

    // The text the user sees in the failure alert; names the key and what was wrong with it.
    QString description() const;

    friend bool operator==(const ManifestDecodeError &, const ManifestDecodeError &) = default;

private:
    Kind m_kind;
    QString m_codingPath;
    QString m_debugDescription;
};
