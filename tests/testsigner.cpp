#include "testsigner.h"

#include <QFile>
#include <QProcess>

namespace {
QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

TestSigner::TestSigner(const QString& workDirectory)
    : m_workDirectory(workDirectory)
{
}

QString TestSigner::privateKeyPath()
{
    return QStringLiteral(QUILLET_SOURCE_DIR "/keys/quillet-update-dev-private.pem");
}

QString TestSigner::publicKeyPath()
{
    return QStringLiteral(QUILLET_SOURCE_DIR "/keys/quillet-update-dev-public.pem");
}

QByteArray TestSigner::publicKeyPem()
{
    return readFile(publicKeyPath()).trimmed();
}

bool TestSigner::run(const QString& script, const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("bash"),
                  QStringList {QStringLiteral(QUILLET_SOURCE_DIR "/tools/") + script} + arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        m_lastError = script + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAllStandardError());
        return false;
    }
    return true;
}

QByteArray TestSigner::sign(const QByteArray& data)
{
    const QString path = m_workDirectory + QStringLiteral("/signed-%1.bin").arg(++m_serial);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            m_lastError = QStringLiteral("cannot write ") + path;
            return QByteArray();
        }
        file.write(data);
    }
    if (!run(QStringLiteral("sign-version-document.sh"), {privateKeyPath(), path, publicKeyPath()}))
        return QByteArray();
    return readFile(path + QStringLiteral(".sig"));
}

QByteArray TestSigner::makeDocument(const QStringList& arguments)
{
    const QString path = m_workDirectory + QStringLiteral("/document-%1.xml").arg(++m_serial);
    if (!run(QStringLiteral("make-version-document.sh"), QStringList {path} + arguments))
        return QByteArray();
    return readFile(path);
}
