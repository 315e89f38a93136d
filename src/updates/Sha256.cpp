#include "updates/Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

struct Sha256::Context {
    EVP_MD_CTX *md = nullptr;
};

Sha256::Sha256() : m_context(std::make_unique<Context>())
{
    m_context->md = EVP_MD_CTX_new();
    if (!m_context->md || EVP_DigestInit_ex(m_context->md, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available");
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_context->md);
}

void Sha256::addData(QByteArrayView bytes)
{
    if (!bytes.isEmpty())
        EVP_DigestUpdate(m_context->md, bytes.data(), size_t(bytes.size()));
}

QByteArray Sha256::result()
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->md, reinterpret_cast<unsigned char *>(digest.data()), &length);
    digest.resize(int(length));
    return digest;
}
