#include "downloadmanager.h"

#include "dgst.h"
#include "logger.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QStandardPaths>
#include <stdlib.h>

DownloadManager::DownloadManager(int stallTimeoutMs)
    : m_stallTimeoutMs(stallTimeoutMs)
{
    connect(&m_networkManager, &QNetworkAccessManager::sslErrors, this, &DownloadManager::onSslErrors,
            Qt::QueuedConnection);
}

void DownloadManager::sendHttpRequest(const QUrl& url, HTTPRequest kind, qint64 maxBytes)
{
    qInfo() << "Ready to download " << url.toString();
    m_maxBytes = maxBytes;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // A server that stops sending would otherwise hold the check, and the daily schedule, forever.
    request.setTransferTimeout(m_stallTimeoutMs);
    if (kind == DataRequest)
        connect(&m_networkManager, &QNetworkAccessManager::finished, this, &DownloadManager::downloadFinished,
                Qt::QueuedConnection);
    else
        connect(&m_networkManager, &QNetworkAccessManager::finished, this, &DownloadManager::signatureRead,
                Qt::QueuedConnection);
    QNetworkReply* reply = m_networkManager.get(request);
    // The announced length stops an oversized reply at once; the count of bytes stops one
    // that announces none and never ends.
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, reply, maxBytes](qint64 received, qint64 total) {
                if (received > maxBytes || total > maxBytes) {
                    reply->abort();
                    return;
                }
                emit downloadProgress(received, total);
            });
}

bool DownloadManager::handleRedirect(QNetworkReply* reply, HTTPRequest kind)
{
    const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (target.isEmpty())
        return false;
    if (!isSecureRedirect(reply->url(), target)) {
        qWarning().nospace() << "Redirect is insecure.\nOld url: " << reply->url().toString()
                             << "\nRedirected to: " << target.toString();
        emit downloadFailure();
        return true;
    }
    sendHttpRequest(target, kind, m_maxBytes);
    return true;
}

bool DownloadManager::failed(QNetworkReply* reply)
{
    // A reply may also have arrived whole before its size could stop it.
    const bool tooLarge = reply->bytesAvailable() > m_maxBytes;
    if (reply->error() == QNetworkReply::NoError && !tooLarge)
        return false;
    qWarning() << "Download of " << reply->url().toString() << " failed: "
               << (tooLarge ? QStringLiteral("larger than %1 bytes").arg(m_maxBytes) : reply->errorString());
    emit downloadFailure();
    return true;
}

void DownloadManager::downloadFinished(QNetworkReply* reply)
{
    qInfo() << "Download finished";
    disconnect(&m_networkManager, &QNetworkAccessManager::finished, this, &DownloadManager::downloadFinished);
    disconnect(reply, &QNetworkReply::downloadProgress, this, nullptr);
    if (!handleRedirect(reply, DataRequest)) {
        m_location = reply->url().toString();
        if (!failed(reply)) {
            m_data = reply->readAll();
            emit downloadDataFinished();
        }
    }
    reply->deleteLater();
}

void DownloadManager::signatureRead(QNetworkReply* reply)
{
    qInfo() << "Downloading of signature finished";
    disconnect(reply, &QNetworkReply::downloadProgress, this, nullptr);
    disconnect(&m_networkManager, &QNetworkAccessManager::finished, this, &DownloadManager::signatureRead);
    if (!handleRedirect(reply, SignatureRequest)) {
        if (!failed(reply)) {
            // fromHex skips what is not a hex digit, such as a final line break.
            const QByteArray signature = QByteArray::fromHex(reply->readAll());
            dgst verifier;
            if (verifier.verify(m_data, signature))
                emit dataVerified();
            else
                emit verificationFailure();
        }
    }
    reply->deleteLater();
}

void DownloadManager::onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors)
{
    // Not ignoring them makes the network layer abort; the finished handler reports the failure.
    for (const QSslError& error : errors)
        qWarning() << "On " << reply->url() << " manager get SSL error -" << error.errorString();
}

bool DownloadManager::saveFile()
{
    qInfo() << "Saving downloaded data";
    const QString name = saveFileName(QUrl(m_location, QUrl::TolerantMode));
    const bool ok = saveToDisk(name);
    if (ok)
        qInfo() << "Download succeeded";
    return ok;
}

QString DownloadManager::saveFileName(const QUrl& url)
{
    QString base
        = QStandardPaths::locate(QStandardPaths::TempLocation, QString(), QStandardPaths::LocateDirectory);
    // Without a temporary directory the user's data directory takes its place.
    if (base.isEmpty())
        base = dataDirectory();
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    // Each save gets a new directory that only this user may enter: mkdtemp makes it with mode
    // 0700 and never takes over a name or a link that someone else put there first, so nobody
    // can swap the verified file for another before it runs.
    if (!m_saveDirectory.isEmpty())
        QDir(m_saveDirectory).removeRecursively();
    QByteArray directory = QFile::encodeName(base + QStringLiteral("/quillet-installer-XXXXXX"));
    if (!mkdtemp(directory.data())) {
        qWarning() << "Could not make a private directory in " << base;
        m_saveDirectory.clear();
        return QString();
    }
    m_saveDirectory = QFile::decodeName(directory);
    QString fileName = url.fileName(QUrl::FullyDecoded);
    // A name that holds a separator would lead out of the private directory.
    if (fileName.contains(QLatin1Char('/')))
        fileName.clear();
    return m_saveDirectory + QLatin1Char('/') + fileName;
}

bool DownloadManager::saveToDisk(const QString& fileName)
{
    m_location.clear();
    qInfo() << "Saving file: " << QFileInfo(fileName).absoluteFilePath();
    QFile file(fileName);
    // A new file only, never one that is there already or a link.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) {
        qWarning() << "Could not open " << fileName << " for writing: " << file.errorString();
        return false;
    }
    // A file cut short, by a full disk say, is not the file whose signature verified.
    if (file.write(m_data) != m_data.size() || !file.flush()) {
        qWarning() << "Could not write " << fileName << ": " << file.errorString();
        file.remove();
        return false;
    }
    file.close();
    m_location = fileName;
    m_data.clear();
    return true;
}

bool DownloadManager::isSecureRedirect(const QUrl& from, const QUrl& to)
{
    return !(from.scheme() == QLatin1String("https") && to.scheme() == QLatin1String("http"));
}
