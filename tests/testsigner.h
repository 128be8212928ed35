#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Makes signed update files the way a release does: through the release scripts in
// tools/ and the development key pair in keys/.
class TestSigner
{
public:
    explicit TestSigner(const QString& workDirectory)
        : m_workDirectory(workDirectory)
    {
    }

    // The ".sig" file's content (hexadecimal text) for `data`, or empty on failure.
    QByteArray sign(const QByteArray& data);
    // A version document from <version> <url> [<language>=<notice>]..., or empty on failure.
    QByteArray makeDocument(const QStringList& arguments);
    QString lastError() const { return m_lastError; }

    static QString privateKeyPath()
    {
        return QStringLiteral(QUILLET_SOURCE_DIR "/keys/quillet-update-dev-private.pem");
    }
    static QString publicKeyPath()
    {
        return QStringLiteral(QUILLET_SOURCE_DIR "/keys/quillet-update-dev-public.pem");
    }
    static QByteArray readFile(const QString& path);

private:
    bool run(const QString& script, const QStringList& arguments);

    QString m_workDirectory;
    QString m_lastError;
    int m_serial = 0;
};
