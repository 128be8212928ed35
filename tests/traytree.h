#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A copy of the installed program (bin, etc, share) in a directory of the test's,
// with users whose HOME and data directory lie beside it, logging switched on.
class TrayTree
{
public:
    explicit TrayTree(const QString& root);

    bool isValid() const { return valid; }
    QString root() const { return rootPath; }
    QString executable() const { return rootPath + QStringLiteral("/bin/QuilletTray"); }

    // Makes the user's HOME (with ~/.config) and data directory with an empty log file.
    bool addUser(const QString& user) const;
    QString home(const QString& user) const { return rootPath + QStringLiteral("/users/") + user + "/home"; }
    QString dataHome(const QString& user) const
    {
        return rootPath + QStringLiteral("/users/") + user + "/data";
    }
    // Environment for a tray of this user; TMPDIR decides where the per-user
    // instance lock lives, so tests do not meet trays of other test runs.
    QProcessEnvironment environment(const QString& user, const QString& tmpDir) const;
    // The user's log lines written by the process with this id.
    QStringList logLines(const QString& user, qint64 pid) const;
    // Waits up to 30 seconds for a log line of that process containing text.
    bool waitForLog(const QString& user, qint64 pid, const QString& text) const;
    // The port that process listens on; 0 while it doesn't.
    quint16 listeningPort(const QString& user, qint64 pid) const;
    // bin/<name>: a start script that runs the program.
    bool writeScript(const QString& name, const QString& program) const;
    // etc/Quillet.conf with these elements in the QuilletTray section.
    bool writeConfig(const QString& trayElements) const;

    // Killed trays leave their instance locks in the kernel; removes those whose
    // key files lie in tmpDir. Call only when no tray of the test runs any more.
    static void removeInstanceLocks(const QString& tmpDir);

private:
    QString rootPath;
    bool valid = false;
};

// A tray of one user of a tree, run as its own process; it is always ended with the object.
class TrayProcess
{
public:
    TrayProcess(const TrayTree& tree, const QString& user);
    ~TrayProcess();
    // Starts it and waits until it listens; the port is then known.
    bool start();
    bool logged(const QString& text) const { return tree.waitForLog(user, process.processId(), text); }

    QProcess process;
    quint16 port = 0;

private:
    const TrayTree& tree;
    const QString user;
};
