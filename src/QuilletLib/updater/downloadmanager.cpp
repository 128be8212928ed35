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

DownloadManager::DownloadManager()
{
    connect(&m_networkManager, &QNetworkAccessManager::sslErrors, this, &DownloadManager::onSslErrors,
            Qt::QueuedConnection);
}

void DownloadManager::sendHttpRequest(const QUrl& url, HTTPRequest kind)
{
    qInfo() << "Ready to download " << url.toString();
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    if (kind == DataRequest)
        connect(&m_networkManager, &QNetworkAccessManager::finished, this, &DownloadManager::downloadFinished,
                Qt::QueuedConnection);
    else
        connect(&m_networkManager, &QNetworkAccessManager::finished, this, &DownloadManager::signatureRead,
                Qt::QueuedConnection);
    QNetworkReply* reply = m_networkManager.get(request);
    connect(reply, &QNetworkReply::downloadProgress, this, &DownloadManager::downloadProgress);
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
    sendHttpRequest(target, kind);
    return true;
}

void DownloadManager::downloadFinished(QNetworkReply* reply)
{
    qInfo() << "Download finished";
    disconnect(&m_networkManager, &QNetworkAccessManager::finished, this, &DownloadManager::downloadFinished);
    disconnect(reply, &QNetworkReply::downloadProgress, this, &DownloadManager::downloadProgress);
    if (!handleRedirect(reply, DataRequest)) {
        m_location = reply->url().toString();
        if (reply->error() != QNetworkReply::NoError) {
            qWarning() << "Download of " << m_location << " failed: " << reply->errorString();
            emit downloadFailure();
        } else {
            m_data = reply->readAll();
            emit downloadDataFinished();
        }
    }
    reply->deleteLater();
}

void DownloadManager::signatureRead(QNetworkReply* reply)
{
    qInfo() << "Downloading of signature finished";
    disconnect(reply, &QNetworkReply::downloadProgress, this, &DownloadManager::downloadProgress);
    disconnect(&m_networkManager, &QNetworkAccessManager::finished, this, &DownloadManager::signatureRead);
    if (!handleRedirect(reply, SignatureRequest)) {
        if (reply->error() != QNetworkReply::NoError) {
            qWarning() << "Download of " << reply->url().toString() << " failed: " << reply->errorString();
            emit downloadFailure();
        } else {
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
    const QString subDirectory = QDir::cleanPath(QStringLiteral("kestrum/quillet/"));
    const QString directory = base + QLatin1Char('/') + subDirectory;
    const QString fileName = url.fileName(QUrl::FullyDecoded);
    // Each save starts from an empty directory so that no earlier download lingers.
    QDir dir(directory);
    if (dir.exists())
        dir.removeRecursively();
    QDir().mkpath(directory);
    return directory + QLatin1Char('/') + fileName;
}

bool DownloadManager::saveToDisk(const QString& fileName)
{
    m_location.clear();
    qInfo() << "Saving file: " << QFileInfo(fileName).absoluteFilePath();
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning() << "Could not open " << fileName << " for writing: " << file.errorString();
        return false;
    }
    file.write(m_data);
    file.close();
    m_location = fileName;
    m_data.clear();
    return true;
}

bool DownloadManager::isSecureRedirect(const QUrl& from, const QUrl& to)
{
    return !(from.scheme() == QLatin1String("https") && to.scheme() == QLatin1String("http"));
}
