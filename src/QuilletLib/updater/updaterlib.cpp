#include "updaterlib.h"

#include <QDebug>

namespace {
// The result codes share their meaning with the exit codes of the separate updater program.
constexpr int resultError = 1;
constexpr int resultNewVersion = 2;
constexpr int resultActualVersion = 3;
} // namespace

UpdaterLib::UpdaterLib()
{
    qInfo() << "ConsoleLib is being constructed";
}

UpdaterLib::UpdaterLib(int stallTimeoutMs)
    : Updater(stallTimeoutMs)
{
    qInfo() << "ConsoleLib is being constructed";
}

void UpdaterLib::newerVesion(const QString& version, const QString& url)
{
    Q_UNUSED(version)
    Q_UNUSED(url)
    qInfo() << "ConsoleLib found new version:";
    // The user-facing form always has six components, whatever the server wrote.
    qInfo() << QObject::tr("NewVersion.").arg(response().version().toString(6));
    emit updaterResult(resultNewVersion);
}

void UpdaterLib::actualVersion()
{
    qInfo() << "ConsoleLib did not find new version.";
    emit updaterResult(resultActualVersion);
}

void UpdaterLib::errorOccured(const QString& message)
{
    qInfo() << "UpdaterLib error occured: " << message;
    emit updaterResult(resultError);
}

void UpdaterLib::install()
{
    qInfo() << "Installation process is not implemented in UpdaterLib";
    emit updaterResult(resultError);
}

void UpdaterLib::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived)
    Q_UNUSED(bytesTotal)
    if (jobKind() != InstallerDownload)
        return;
    qWarning() << "Installer download is not implemented in UpdaterLib";
    emit updaterResult(resultError);
}

void UpdaterLib::authentication(const QNetworkProxy& proxy, QAuthenticator* auth)
{
    Q_UNUSED(proxy)
    Q_UNUSED(auth)
    // Without credentials the request fails and the check ends with the download error.
    qWarning() << "Proxy authentication is requested, but not implemented in UpdaterLib";
}
