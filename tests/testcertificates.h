#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// Certificates made for one test run with the openssl command line: a test authority
// with a server certificate for 127.0.0.1 that it signed, and a self-signed server
// certificate that nothing trusts.
class TestCertificates
{
public:
    // Writes everything into `directory`; false with `error` set when openssl fails.
    bool make(const QString& directory, QString* error);
    // Adds the test authority to the process's default TLS configuration.
    void trustAuthority() const;

    QSslCertificate authority() const { return m_authority; }
    QSslCertificate trustedCertificate() const { return m_trusted; }
    QSslKey trustedKey() const { return m_trustedKey; }
    QSslCertificate untrustedCertificate() const { return m_untrusted; }
    QSslKey untrustedKey() const { return m_untrustedKey; }

private:
    QSslCertificate m_authority;
    QSslCertificate m_trusted;
    QSslKey m_trustedKey;
    QSslCertificate m_untrusted;
    QSslKey m_untrustedKey;
};
