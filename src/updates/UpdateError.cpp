#include "updates/UpdateError.h"

QString UpdateError::errorDescription() const
{
    switch (m_code) {
    case Code::moveFailed:
        if (m_reason.isEmpty())
            return QStringLiteral("The update could not be saved.");
        return QStringLiteral("The update could not be saved: ") + m_reason;
    case Code::invalidResponse:
        return QStringLiteral("The update server returned an unexpected response.");
    case Code::invalidStatusCode:
        return QStringLiteral("The update server returned an error status.");
    case Code::checksumMismatch:
        return QStringLiteral("The downloaded update failed verification.");
    case Code::downloadsDirectoryUnavailable:
        break;
    }
    return QStringLiteral("The Downloads folder is unavailable.");
}
