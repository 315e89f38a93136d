#pragma once

#include <QString>

// The update subsystem's own failures. Only moveFailed carries a value: the reason the save failed.
class UpdateError final
{
public:
    enum class Code { moveFailed, invalidResponse, invalidStatusCode, checksumMismatch, downloadsDirectoryUnavailable };

    explicit UpdateError(Code code, QString reason = QString()) : m_code(code), m_reason(std::move(reason)) { }
    static UpdateError moveFailed(QString reason) { return UpdateError(Code::moveFailed, std::move(reason)); }

    Code code() const { return m_code; }
    const QString &reason() const { return m_reason; }

    // The text shown in the failure alert.
    QString errorDescription() const;

    friend bool operator==(const UpdateError &, const UpdateError &) = default;

private:
    Code m_code;
    QString m_reason;
};
