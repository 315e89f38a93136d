#include "updates/ManifestDecodeError.h"

ManifestDecodeError::ManifestDecodeError(Kind kind, QString codingPath, QString debugDescription)
    : m_kind(kind), m_codingPath(std::move(codingPath)), m_debugDescription(std::move(debugDescription))
{ }

QString ManifestDecodeError::description() const
{
    const QString where
        = m_codingPath.isEmpty() ? QStringLiteral("the document") : QStringLiteral("\"%1\"").arg(m_codingPath);
    switch (m_kind) {
    case Kind::keyNotFound:
        return QStringLiteral("The update manifest is missing the key %1.").arg(where);
    case Kind::valueNotFound:
        return QStringLiteral("The update manifest has no value for %1: %2").arg(where, m_debugDescription);
    case Kind::typeMismatch:
        return QStringLiteral("The update manifest has a value of the wrong type at %1: %2")
            .arg(where, m_debugDescription);
    case Kind::dataCorrupted:
        break;
    }
    return QStringLiteral("The update manifest is not valid at %1: %2").arg(where, m_debugDescription);
}
