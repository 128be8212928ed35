#include "dgst.h"

#include "updatepublickey.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <QDebug>

dgst::dgst()
    : m_publicKey(updatePublicKeyPem)
{
}

QString dgst::openSslErrors()
{
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return QString();
    ERR_print_errors(bio);
    BUF_MEM* buffer = nullptr;
    BIO_get_mem_ptr(bio, &buffer);
    const QString text = QString::fromUtf8(buffer->data, static_cast<qsizetype>(buffer->length));
    BIO_free(bio);
    return text;
}

EVP_PKEY* dgst::getCdnPublicKey()
{
    BIO* bio = BIO_new_mem_buf(m_publicKey.constData(), static_cast<int>(m_publicKey.size()));
    if (!bio) {
        qCritical() << "Unable to create BIO for public key";
        return nullptr;
    }
    EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    if (!key)
        qCritical() << QStringLiteral("Unable to load public key: %1").arg(openSslErrors());
    BIO_free(bio);
    return key;
}

bool dgst::verify(const QByteArray& data, const QByteArray& signature)
{
    qInfo() << "Signature verification started";
    EVP_PKEY* key = getCdnPublicKey();
    if (!key)
        return false;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (!context) {
        qCritical() << QStringLiteral("Unable to initialize digest context: %1").arg(openSslErrors());
        EVP_PKEY_free(key);
        return false;
    }
    // Every path below ends here, so nothing the checks made outlives the call.
    const auto cleanUp = [&key, &context] {
        EVP_PKEY_free(key);
        EVP_MD_CTX_reset(context);
        EVP_MD_CTX_free(context);
    };

    // The key context belongs to the digest context; the key type's default padding is PKCS#1 v1.5.
    EVP_PKEY_CTX* keyContext = nullptr;
    if (EVP_DigestVerifyInit(context, &keyContext, EVP_sha256(), nullptr, key) != 1) {
        qCritical() << QStringLiteral("Unable to initialize verification context: %1").arg(openSslErrors());
        cleanUp();
        return false;
    }
    if (EVP_DigestVerifyUpdate(context, data.constData(), static_cast<size_t>(data.size())) != 1) {
        qCritical() << QStringLiteral("Unable to update verification context: %1").arg(openSslErrors());
        cleanUp();
        return false;
    }
    const int result
        = EVP_DigestVerifyFinal(context, reinterpret_cast<const unsigned char*>(signature.constData()),
                                static_cast<size_t>(signature.size()));
    if (result == 1) {
        qInfo() << "Signature is VALID";
        cleanUp();
        return true;
    }
    if (result == 0) {
        qInfo() << "Signature is INVALID";
        // A mismatch may leave a reason queued; it must not show up in an unrelated later message.
        ERR_clear_error();
    } else {
        qCritical() << QStringLiteral("Unable to verify signature: %1").arg(openSslErrors());
    }
    cleanUp();
    return false;
}
