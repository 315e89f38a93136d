#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

// Incremental SHA-256. OpenSSL's implementation uses the processor's SHA extensions where they exist,
// several times faster than a portable one on large disk images.
class Sha256 final
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(QByteArrayView bytes);
    // The 32-byte digest; the hasher is spent afterwards.
    QByteArray result();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};
