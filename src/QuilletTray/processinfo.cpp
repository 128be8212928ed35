#include "processinfo.h"

#include <QDebug>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QtEndian>
#include <QWebSocket>
#include <unistd.h>

const ProcessInfo trayProcessInfo = ProcessInfo::currentProcess();

namespace {
// An address and port as the kernel prints them in its table: the IPv4 address in host byte
// order of a little-endian machine, both in upper-case hexadecimal.
QString tableKey(const QHostAddress& address, quint16 port)
{
    const quint32 ipv4 = qbswap(address.toIPv4Address());
    return QStringLiteral("%1:%2")
        .arg(QString::number(ipv4, 16).toUpper(), 8, QLatin1Char('0'))
        .arg(QString::number(port, 16).toUpper(), 4, QLatin1Char('0'));
}
} // namespace

ProcessInfo::ProcessInfo(const QString& uid)
    : m_uid(uid)
{
}

ProcessInfo ProcessInfo::currentProcess()
{
    return ProcessInfo(QString::number(getuid()));
}

ProcessInfo ProcessInfo::forWebSocket(const QWebSocket* socket, const QString& tablePath)
{
    if (!socket)
        return ProcessInfo();
    return forConnection(socket->peerAddress(), socket->peerPort(), socket->localAddress(),
                         socket->localPort(), tablePath);
}

ProcessInfo ProcessInfo::forConnection(const QHostAddress& peerAddress, quint16 peerPort,
                                       const QHostAddress& localAddress, quint16 localPort,
                                       const QString& tablePath)
{
    QFile table(tablePath);
    if (!table.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning().noquote() << "Unable to open" << tablePath;
        return ProcessInfo();
    }

    // The connecting program's own socket: its local end is our peer, its remote end is us,
    // and its uid column names the user who owns it.
    const QRegularExpression line(QStringLiteral("^ +\\d+: +") + tableKey(peerAddress, peerPort)
                                  + QStringLiteral(" +") + tableKey(localAddress, localPort)
                                  + QStringLiteral(" +01 \\w+:\\w+ +\\w+:\\w+ +\\w+ +(\\d+) +.*$"));
    QString uid;
    for (;;) {
        const QByteArray raw = table.readLine();
        if (raw.isEmpty())
            break;
        const QRegularExpressionMatch match = line.match(QString::fromUtf8(raw));
        if (match.hasMatch()) {
            uid = match.captured(1).trimmed();
            break;
        }
    }
    table.close();
    return uid.isEmpty() ? ProcessInfo() : ProcessInfo(uid);
}

bool ProcessInfo::checkClient(const QWebSocket* socket)
{
    const ProcessInfo peer = forWebSocket(socket);
    if (peer.isEmpty()) {
        qWarning() << "Unable to check WebSocket client";
        return false;
    }
    if (trayProcessInfo == peer) {
        qInfo() << "WebSocket client is authorized to communicate with this server";
        return true;
    }
    qWarning() << "WebSocket client is NOT authorized to communicate with this server";
    qInfo() << "Quillet Tray is running under user: " << trayProcessInfo.uid();
    qInfo() << "Connecting application is running under user: " << peer.uid();
    return false;
}

bool ProcessInfo::operator==(const ProcessInfo& other) const
{
    return !m_uid.isEmpty() && m_uid.size() == other.m_uid.size() && m_uid == other.m_uid;
}
