#pragma once

#include <QString>

// An error as the platform layers report it: a domain, a code and a localized message.
struct PlatformError {
    QString domain;
    int code = 0;
    QString localizedDescription; // may be empty

    // The short text for log lines: the message, or domain and code when there is none.
    QString message() const
    {
        if (!localizedDescription.isEmpty())
            return localizedDescription;
        return QStringLiteral("The operation couldn't be completed. (%1 error %2.)").arg(domain).arg(code);
    }

    // The complete description shown to the user when a start fails: domain, code and message.
    QString fullDescription() const
    {
        return QStringLiteral("Error Domain=%1 Code=%2 \"%3\"").arg(domain).arg(code).arg(message());
    }

    friend bool operator==(const PlatformError &, const PlatformError &) = default;
};
