#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkReply;
class QSslError;

// Fetches a data file and then its detached signature, one request at a time, and
// checks the signature against the kept data. Redirects are followed except from
// HTTPS to HTTP; TLS errors are never ignored. A transfer that stalls, or grows past the
// size its caller allows, ends as a failed download.
class DownloadManager : public QObject
{
    Q_OBJECT

public:
    enum HTTPRequest
    {
        DataRequest = 0,
        SignatureRequest = 1
    };

    // A transfer that receives nothing for stallTimeoutMs milliseconds is aborted.
    explicit DownloadManager(int stallTimeoutMs);

    // Only one request may be in flight: the finished handler listens to the network
    // manager and takes whichever reply finishes next. A reply larger than maxBytes is aborted.
    void sendHttpRequest(const QUrl& url, HTTPRequest kind, qint64 maxBytes);
    const QByteArray& data() { return m_data; }
    QNetworkAccessManager* networkManager() { return &m_networkManager; }
    bool saveFile();
    bool saveToDisk(const QString& fileName);
    QString saveFileName(const QUrl& url);
    bool isSecureRedirect(const QUrl& from, const QUrl& to);

Q_SIGNALS:
    void downloadDataFinished();
    void downloadProgress(qint64 downloaded, qint64 totalBytes);
    void dataVerified();
    void verificationFailure();
    void downloadFailure();

public Q_SLOTS:
    void downloadFinished(QNetworkReply* reply);
    void signatureRead(QNetworkReply* reply);
    void onSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);

private:
    // Returns true, after logging and signalling the failure, when the reply failed or is too large.
    bool failed(QNetworkReply* reply);
    // Returns true when the reply was a redirect and has been dealt with.
    bool handleRedirect(QNetworkReply* reply, HTTPRequest kind);

    QNetworkAccessManager m_networkManager;
    QByteArray m_data;
    QString m_location;
    const int m_stallTimeoutMs;
    qint64 m_maxBytes = 0;
    // The private directory of the last save, removed by the next one.
    QString m_saveDirectory;
};
