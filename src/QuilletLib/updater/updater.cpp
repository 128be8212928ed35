#include "updater.h"

#include "appexception.h"
#include "quilletconfig.h"

#include <QAuthenticator>
#include <QDebug>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>

namespace {
constexpr int stallTimeoutMs = 60 * 1000;
// A version document or a signature is a few hundred bytes; a server that sends more is broken
// or hostile. Installers are large, but not endless.
constexpr qint64 documentLimit = 1024 * 1024;
constexpr qint64 installerLimit = qint64(1024) * 1024 * 1024;
} // namespace

Updater::Updater()
    : Updater(stallTimeoutMs)
{
}

Updater::Updater(int stallTimeout)
    : m_downloader(stallTimeout)
{
    connect(this, &Updater::checkVersion, this, &Updater::checkForNewerVersion, Qt::QueuedConnection);
    // Queued so that the next request is sent only after the downloader has finished
    // handling the reply that led to it.
    connect(&m_downloader, &DownloadManager::downloadDataFinished, this, &Updater::downloadDataFinished,
            Qt::QueuedConnection);
    connect(&m_downloader, &DownloadManager::downloadProgress, this, &Updater::downloadProgress);
    connect(&m_downloader, &DownloadManager::dataVerified, this, &Updater::verificationOK);
    connect(&m_downloader, &DownloadManager::verificationFailure, this, &Updater::on_verificationFailure);
    connect(m_downloader.networkManager(), &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &Updater::authentication);
    connect(&m_downloader, &DownloadManager::downloadFailure, this, &Updater::downloadFailure,
            Qt::QueuedConnection);
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

void Updater::startVersionCheck()
{
    emit checkVersion();
}

void Updater::checkForNewerVersion()
{
    try {
        QuilletConfig* config = QuilletConfig::instance();
        config->loadConfig();
        m_jobKind = VersionCheck;
        m_downloader.sendHttpRequest(QUrl(config->url()), DownloadManager::DataRequest, documentLimit);
    } catch (const AppException& e) {
        errorOccured(e.generalMessage());
    }
}

void Updater::downloadInstaller()
{
    QuilletConfig* config = QuilletConfig::instance();
    m_jobKind = InstallerDownload;
    m_downloader.sendHttpRequest(QUrl(config->downloadUrl()), DownloadManager::DataRequest, installerLimit);
}

void Updater::downloadDataFinished()
{
    // Always the configured address: a redirect of the document does not move its signature.
    const QuilletConfig* config = QuilletConfig::instance();
    const QString base = m_jobKind == VersionCheck ? config->url() : config->downloadUrl();
    m_downloader.sendHttpRequest(QUrl(base + QStringLiteral(".sig")), DownloadManager::SignatureRequest,
                                 documentLimit);
}

void Updater::verificationOK()
{
    qInfo() << "Updater Verification OK";
    if (m_jobKind == VersionCheck) {
        configResponse();
    } else if (m_downloader.saveFile()) {
        install();
    } else {
        errorOccured(QObject::tr("DownloadingError"));
    }
}

void Updater::on_verificationFailure()
{
    qWarning() << "Error verifying file";
    errorOccured(QObject::tr("VerificationFailed"));
}

void Updater::downloadFailure()
{
    errorOccured(QObject::tr("DownloadingError"));
}

void Updater::configResponse()
{
    qInfo() << "Deserializing response";
    if (!m_response.deserializeXml(m_downloader.data())) {
        errorOccured(QObject::tr("ResponseError"));
        return;
    }
    qInfo() << "Http version response: " << m_response.version().toString();
    qInfo() << "Website url: " << m_response.url();
    if (QuilletConfig::instance()->version() < m_response.version())
        newerVesion(m_response.version().toString(), m_response.url());
    else
        actualVersion();
}
