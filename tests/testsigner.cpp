#include "testsigner.h"

#include <QFile>
#include <QProcess>

QByteArray TestSigner::readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool TestSigner::run(const QString& script, const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("bash"),
                  QStringList {QStringLiteral(QUILLET_SOURCE_DIR "/tools/") + script} + arguments);
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0)
        return true;
    m_lastError = script + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAllStandardError());
    return false;
}

QByteArray TestSigner::sign(const QByteArray& data)
{
    const QString path = m_workDirectory + QStringLiteral("/signed-%1.bin").arg(++m_serial);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
        m_lastError = QStringLiteral("cannot write ") + path;
        return QByteArray();
    }
    file.close();
    if (!run(QStringLiteral("sign-version-document.sh"), {privateKeyPath(), path, publicKeyPath()}))
        return QByteArray();
    return readFile(path + QStringLiteral(".sig"));
}

QByteArray TestSigner::makeDocument(const QStringList& arguments)
{
    const QString path = m_workDirectory + QStringLiteral("/document-%1.xml").arg(++m_serial);
    return run(QStringLiteral("make-version-document.sh"), QStringList {path} + arguments) ? readFile(path)
                                                                                           : QByteArray();
}
