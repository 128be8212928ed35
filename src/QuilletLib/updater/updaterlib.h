#pragma once

#include "updater.h"

// The silent version check that the tray runs in its own process. Each check ends in
// one updaterResult(): 1 failed, 2 a newer version exists, 3 the installed one is newest.
class UpdaterLib : public Updater
{
    Q_OBJECT

public:
    UpdaterLib();

Q_SIGNALS:
    void updaterResult(int exitCode);

public Q_SLOTS:
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal) override;
    void authentication(const QNetworkProxy& proxy, QAuthenticator* auth) override;

protected:
    // Only tests shorten the time a transfer may stall.
    explicit UpdaterLib(int stallTimeoutMs);

    void newerVesion(const QString& version, const QString& url) override;
    void actualVersion() override;
    void errorOccured(const QString& message) override;
    void install() override;
};
