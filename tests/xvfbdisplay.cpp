#include "xvfbdisplay.h"

#include <QDeadlineTimer>

using namespace Qt::StringLiterals;

XvfbDisplay::~XvfbDisplay()
{
    stop(trayHost);
    stop(server);
}

void XvfbDisplay::stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool XvfbDisplay::start()
{
    // With -displayfd the server takes a free display number and writes it to the
    // given descriptor once it accepts clients: no guessing, no race.
    server.start(u"Xvfb"_s,
                 {u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, u"1024x768x24"_s, u"-nolisten"_s, u"tcp"_s});
    if (!server.waitForStarted(10000))
        return false;
    QByteArray output;
    const QDeadlineTimer deadline(20000);
    while (!output.contains('\n') && !deadline.hasExpired()) {
        if (!server.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        output += server.readAllStandardOutput();
    }
    if (!output.contains('\n'))
        return false;
    displayName = u':' + QString::fromLatin1(output.trimmed());
    return true;
}

bool XvfbDisplay::startTrayHost()
{
    trayHost.setProcessEnvironment(environment(QProcessEnvironment::systemEnvironment()));
    trayHost.start(u"trayer"_s,
                   {u"--edge"_s, u"top"_s, u"--align"_s, u"right"_s, u"--widthtype"_s, u"request"_s,
                    u"--height"_s, u"32"_s, u"--SetDockType"_s, u"true"_s});
    return trayHost.waitForStarted(10000);
}

QProcessEnvironment XvfbDisplay::environment(QProcessEnvironment base) const
{
    base.insert(u"DISPLAY"_s, displayName);
    base.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    base.remove(u"WAYLAND_DISPLAY"_s);
    // No session bus: the tray must use the XEmbed tray protocol of the host.
    base.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
    return base;
}

QString XvfbDisplay::run(const QString& program, const QStringList& arguments) const
{
    QProcess process;
    process.setProcessEnvironment(environment(QProcessEnvironment::systemEnvironment()));
    process.start(program, arguments);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        return QString();
    }
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

bool XvfbDisplay::screenshot(const QString& path) const
{
    QProcess process;
    process.setProcessEnvironment(environment(QProcessEnvironment::systemEnvironment()));
    process.start(u"import"_s, {u"-window"_s, u"root"_s, path});
    return process.waitForFinished(20000) && process.exitCode() == 0;
}

QString XvfbDisplay::windows(qint64 pid, const QString& field, const QString& pattern) const
{
    return run(
        u"xdotool"_s,
        {u"search"_s, u"--all"_s, u"--onlyvisible"_s, u"--pid"_s, QString::number(pid), field, pattern});
}
