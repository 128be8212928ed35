#include "panelwatch.h"

#include <cerrno>
#include <cstring>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDebug>
#include <QFile>
#include <unistd.h>
#include <vector>

namespace {
// Handed to the run started anew for a panel, so that it happens once; not to its children.
constexpr char startedForPanelVariable[] = "QUILLET_STARTED_FOR_PANEL";
} // namespace

PanelWatch::PanelWatch(std::function<bool()> idle, QObject* parent)
    : QObject(parent)
    , isIdle(std::move(idle))
    , startedForPanel(qEnvironmentVariableIsSet(startedForPanelVariable))
{
    qunsetenv(startedForPanelVariable);
}

void PanelWatch::look()
{
    if (startedForPanel)
        return;
    // The same question Qt asks; asynchronous, so a panel that does not answer can't stop the tray.
    QDBusMessage question = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    question << QStringLiteral("org.kde.StatusNotifierWatcher")
             << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* answer = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(question), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *call;
        if (reply.isValid() && reply.value().variant().toBool() && isIdle())
            startAnew();
    });
}

void PanelWatch::startAnew()
{
    qInfo() << "A status notifier panel has appeared: Quillet Tray starts anew to show its icon there";
    std::vector<QByteArray> arguments;
    for (const QString& argument : QCoreApplication::arguments())
        arguments.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    qputenv(startedForPanelVariable, "1");
    // Every descriptor the tray holds is close-on-exec: the instance lock and the port are free again.
    execv(QFile::encodeName(QCoreApplication::applicationFilePath()).constData(), argv.data());
    qWarning() << "Could not start anew:" << std::strerror(errno);
}
