#pragma once

#include <QList>
#include <QObject>
#include <QTimer>

class ServerCommunicator;

// Binds the WebSocket server to the first port of the list that can be bound, in the list's
// order. Ports held by programs of other users at the first try are named in the log and in
// one warning box. While no port of the list can be bound, the list is tried again every
// little while, without a line for each port.
class PortBinder : public QObject
{
    Q_OBJECT

public:
    PortBinder(ServerCommunicator& server, const QList<quint16>& ports, QObject* parent = nullptr);

    static constexpr int retryMs = 10000;

    void bind();

private:
    ServerCommunicator& server;
    const QList<quint16> ports;
    QTimer retryTimer;
    bool retrying = false;
};
