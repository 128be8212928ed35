#include "xvfbdisplay.h"

#include <QDeadlineTimer>

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
    server.start(QStringLiteral("Xvfb"),
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                  QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                  QStringLiteral("tcp")});
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
    displayName = QLatin1Char(':') + QString::fromLatin1(output.trimmed());
    return true;
}

bool XvfbDisplay::startTrayHost()
{
    trayHost.setProcessEnvironment(environment(QProcessEnvironment::systemEnvironment()));
    trayHost.start(QStringLiteral("trayer"),
                   {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                    QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("request"),
                    QStringLiteral("--height"), QStringLiteral("32"), QStringLiteral("--SetDockType"),
                    QStringLiteral("true")});
    return trayHost.waitForStarted(10000);
}

QProcessEnvironment XvfbDisplay::environment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("DISPLAY"), displayName);
    base.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    base.remove(QStringLiteral("WAYLAND_DISPLAY"));
    // No session bus: the tray must use the XEmbed tray protocol of the host.
    base.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
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
    process.start(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), path});
    return process.waitForFinished(20000) && process.exitCode() == 0;
}

QString XvfbDisplay::windows(qint64 pid, const QString& field, const QString& pattern) const
{
    return run(QStringLiteral("xdotool"),
               {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--onlyvisible"),
                QStringLiteral("--pid"), QString::number(pid), field, pattern});
}
