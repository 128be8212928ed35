#pragma once

#include <QHostAddress>
#include <QObject>
#include <QWebSocketServer>

// Placeholder with the server's public interface; the bridge replaces it.
class ServerCommunicator : public QObject
{
    Q_OBJECT

public:
    explicit ServerCommunicator(QObject* parent = nullptr);

    bool startListening(quint16 port);

public Q_SLOTS:
    void newConnection();

private:
    QWebSocketServer server;
    QHostAddress address;
};
