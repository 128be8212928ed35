#pragma once

#include "downloadmanager.h"
#include "httpresponse.h"

#include <QObject>
#include <QString>

class QAuthenticator;
class QNetworkProxy;

// Runs the update library's jobs: the version check (document, signature, comparison)
// and the installer download. What an outcome means is left to the subclass.
class Updater : public QObject
{
    Q_OBJECT

public:
    enum JobKind
    {
        VersionCheck = 0,
        InstallerDownload = 1
    };

    Updater();

    // The check begins from the event loop, never inside the caller's call.
    void startVersionCheck();
    void downloadInstaller();
    void configResponse();

Q_SIGNALS:
    void checkVersion();

protected:
    // The outcomes, declared ahead of the two virtual slots so they come first among the
    // operations this class adds.
    virtual void newerVesion(const QString& version, const QString& url) = 0;
    virtual void actualVersion() = 0;
    virtual void errorOccured(const QString& message) = 0;
    virtual void install() = 0;

public Q_SLOTS:
    void checkForNewerVersion();
    void downloadDataFinished();
    void verificationOK();
    void on_verificationFailure();
    void downloadFailure();
    virtual void downloadProgress(qint64 bytesReceived, qint64 bytesTotal) = 0;
    virtual void authentication(const QNetworkProxy& proxy, QAuthenticator* auth) = 0;

protected:
    // Only tests shorten the time a transfer may stall; the program always allows a minute.
    explicit Updater(int stallTimeoutMs);

    JobKind jobKind() const { return m_jobKind; }
    const HttpResponse& response() const { return m_response; }

private:
    JobKind m_jobKind = VersionCheck;
    HttpResponse m_response;
    DownloadManager m_downloader;
};
