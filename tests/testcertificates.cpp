#include "testcertificates.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>

namespace {
QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

bool TestCertificates::make(const QString& directory, QString* error)
{
    // EC keys keep generation fast; the client checks chain and address, not key type.
    const QString newKey
        = QStringLiteral("req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 ");
    const QString address = QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost");
    QFile extensions(directory + QStringLiteral("/server.ext"));
    if (!extensions.open(QIODevice::WriteOnly) || extensions.write(address.toUtf8() + '\n') <= 0) {
        *error = QStringLiteral("cannot write server.ext");
        return false;
    }
    extensions.close();
    const QStringList commands {
        newKey
            + QStringLiteral(
                "-x509 -keyout ca.key -out ca.crt -subj /CN=Quillet-Test-Authority "
                "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"),
        newKey + QStringLiteral("-keyout trusted.key -out trusted.csr -subj /CN=127.0.0.1"),
        QStringLiteral("x509 -req -in trusted.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out trusted.crt "
                       "-days 2 -extfile server.ext"),
        newKey + QStringLiteral("-x509 -keyout untrusted.key -out untrusted.crt -subj /CN=127.0.0.1 -addext ")
            + address,
    };
    for (const QString& command : commands) {
        QProcess process;
        process.setWorkingDirectory(directory);
        process.start(QStringLiteral("openssl"), command.split(QLatin1Char(' ')));
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0) {
            *error = QStringLiteral("openssl %1 failed: %2")
                         .arg(command, QString::fromLocal8Bit(process.readAllStandardError()));
            return false;
        }
    }
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
