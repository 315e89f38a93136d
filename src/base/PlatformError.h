#pragma once

#include <QString>

// An error as the platform layers report it: a domain, a code and a localized message, and, where the
// layer that raised it knows, what it means for the user.
struct PlatformError {
    QString domain;
    int code = 0; // 0: the layer gave no code
    QString localizedDescription; // the system's own text; may be empty
    QString userMessage {}; // in plain words, what happened and what to do; empty where the layer cannot say

    // The short text for log lines: the message, or domain and code when there is none.
    QString message() const
    {
        if (!localizedDescription.isEmpty())
            return localizedDescription;
        return QStringLiteral("The operation couldn't be completed. (%1 error %2.)").arg(domain).arg(code);
    }

    // What a user can quote when asking for help: "PulseAudio 11: Connection terminated".
    QString technicalDetail() const
    {
        QString detail = domain;
        if (code != 0)
            detail += u' ' + QString::number(code);
        if (!localizedDescription.isEmpty())
            detail += QStringLiteral(": ") + localizedDescription;
        return detail;
    }

    // The complete description shown to the user: the plain words (or `fallback` where there are none),
    // then the technical detail in brackets.
    QString fullDescription(const QString &fallback) const
    {
        return (userMessage.isEmpty() ? fallback : userMessage) + QStringLiteral(" (") + technicalDetail() + u')';
    }

    friend bool operator==(const PlatformError &, const PlatformError &) = default;
};
