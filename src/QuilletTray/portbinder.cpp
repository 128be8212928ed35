#include "portbinder.h"

#include "msgbox.h"
#include "processinfo.h"
#include "servercommunicator.h"

#include <QDebug>

PortBinder::PortBinder(ServerCommunicator& communicator, const QList<quint16>& portList, QObject* parent)
    : QObject(parent)
    , server(communicator)
    , ports(portList)
{
    retryTimer.setSingleShot(true);
    retryTimer.setInterval(retryMs);
    connect(&retryTimer, &QTimer::timeout, this, &PortBinder::bind);
}

void PortBinder::bind()
{
    // Pages try the ports in the same order, so a program of another user that holds one
    // before ours gets their connections first.
    QStringList squatted;
    for (const quint16 port : ports) {
        if (server.startListening(port, retrying)) {
            if (retrying)
                qInfo() << "A port of the list is free again: the tray serves pages on port" << port;
            retrying = false;
            break;
        }
        if (retrying)
            continue;
        qWarning() << "Unable to listen on specified address and port";
        const ProcessInfo owner = ProcessInfo::forListener(port);
        if (!owner.isEmpty() && !(owner == trayProcessInfo)) {
            qWarning() << "Port" << port << "is held by a program of another user, user id:" << owner.uid();
            squatted.append(QObject::tr("PortHeldByOtherUser").arg(port).arg(owner.uid()));
        }
        if (port == ports.last()) {
            qWarning() << "No port of the list could be bound; the tray tries them again every"
                       << retryMs / 1000 << "seconds";
            retrying = true;
        }
    }
    if (retrying)
        retryTimer.start();
    if (squatted.isEmpty())
        return;
    MsgBox* box = MsgBox::aboutDialog(
        nullptr, QObject::tr("AppName"),
        QObject::tr("PortsHeldByOtherUsers").arg(squatted.join(QStringLiteral("<br>"))));
    // Nobody waits for the box; it goes when it is closed.
    connect(box, &QDialog::finished, box, &QObject::deleteLater);
    box->show();
}
