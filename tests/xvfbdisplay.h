#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A private X server (Xvfb) on a display number it picks itself, optionally with
// an XEmbed system-tray host, for tests that drive the real desktop. Everything
// it started is stopped when it is destroyed.
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();

    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool start();
    bool startTrayHost();
    QProcessEnvironment environment(QProcessEnvironment base) const;

    // Runs an X client such as xdotool or xwininfo on this display; its output.
    QString run(const QString& program, const QStringList& arguments) const;
    bool screenshot(const QString& path) const;
    // Ids of the process's visible windows whose "--name" or "--classname" matches, one a line.
    QString windows(qint64 pid, const QString& field, const QString& pattern) const;

private:
    static void stop(QProcess& process);

    QProcess server;
    QProcess trayHost;
    QString displayName;
};
