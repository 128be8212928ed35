#include "testcertificates.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>

namespace {
bool openssl(const QString& directory, const QStringList& arguments, QString* error)
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed: %2")
                     .arg(arguments.join(QLatin1Char(' ')),
                          QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    return true;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

bool TestCertificates::make(const QString& directory, QString* error)
{
    // EC keys keep generation fast; the client checks chain and address, not key type.
    const QStringList ecKey = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                               QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    const QString subjectAltName = QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost");
    {
        QFile extensions(directory + QStringLiteral("/server.ext"));
        if (!extensions.open(QIODevice::WriteOnly)) {
            *error = QStringLiteral("cannot write server.ext");
            return false;
        }
        extensions.write(subjectAltName.toUtf8() + "\n");
    }
    const bool made
        = openssl(directory,
                  QStringList {QStringLiteral("req"), QStringLiteral("-x509")} + ecKey
                      + QStringList {QStringLiteral("-keyout"), QStringLiteral("ca.key"),
                                     QStringLiteral("-out"), QStringLiteral("ca.crt"),
                                     QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                                     QStringLiteral("/CN=Quillet Test Authority"), QStringLiteral("-addext"),
                                     QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                     QStringLiteral("-addext"),
                                     QStringLiteral("keyUsage=critical,keyCertSign")},
                  error)
        && openssl(directory,
                   QStringList {QStringLiteral("req")} + ecKey
                       + QStringList {QStringLiteral("-keyout"), QStringLiteral("trusted.key"),
                                      QStringLiteral("-out"), QStringLiteral("trusted.csr"),
                                      QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")},
                   error)
        && openssl(directory,
                   {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                    QStringLiteral("trusted.csr"), QStringLiteral("-CA"), QStringLiteral("ca.crt"),
                    QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
                    QStringLiteral("-out"), QStringLiteral("trusted.crt"), QStringLiteral("-days"),
                    QStringLiteral("2"), QStringLiteral("-extfile"), QStringLiteral("server.ext")},
                   error)
        && openssl(directory,
                   QStringList {QStringLiteral("req"), QStringLiteral("-x509")} + ecKey
                       + QStringList {QStringLiteral("-keyout"), QStringLiteral("untrusted.key"),
                                      QStringLiteral("-out"), QStringLiteral("untrusted.crt"),
                                      QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                                      QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                                      subjectAltName},
                   error);
    if (!made)
        return false;

    m_authority = QSslCertificate(readFile(directory + QStringLiteral("/ca.crt")));
    m_trusted = QSslCertificate(readFile(directory + QStringLiteral("/trusted.crt")));
    m_trustedKey = QSslKey(readFile(directory + QStringLiteral("/trusted.key")), QSsl::Ec);
    m_untrusted = QSslCertificate(readFile(directory + QStringLiteral("/untrusted.crt")));
    m_untrustedKey = QSslKey(readFile(directory + QStringLiteral("/untrusted.key")), QSsl::Ec);
    if (m_authority.isNull() || m_trusted.isNull() || m_trustedKey.isNull() || m_untrusted.isNull()
        || m_untrustedKey.isNull()) {
        *error = QStringLiteral("the generated certificates or keys could not be read");
        return false;
    }
    return true;
}

void TestCertificates::trustAuthority() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(m_authority);
    QSslConfiguration::setDefaultConfiguration(configuration);
}
