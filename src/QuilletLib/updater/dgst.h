#pragma once

#include <QByteArray>
#include <QString>

typedef struct evp_pkey_st EVP_PKEY;

// Checks that a downloaded file was signed by the update server: RSA, SHA-256,
// PKCS#1 v1.5, against the public key built into the program.
class dgst
{
public:
    dgst();

    // A new key that the caller frees with EVP_PKEY_free, or null after logging why.
    EVP_PKEY* getCdnPublicKey();
    bool verify(const QByteArray& data, const QByteArray& signature);
    // Reads and empties this thread's OpenSSL error queue.
    QString openSslErrors();

private:
    const QByteArray m_publicKey;
};
