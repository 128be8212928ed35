#pragma once

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
    QString home(const QString& user) const;
    QString dataHome(const QString& user) const;
    // Environment for a tray of this user; TMPDIR decides where the per-user
    // instance lock lives, so tests do not meet trays of other test runs.
    QProcessEnvironment environment(const QString& user, const QString& tmpDir) const;
    // The user's log lines written by the process with this id.
    QStringList logLines(const QString& user, qint64 pid) const;
    // Waits up to 30 seconds for a log line of that process containing text.
    bool waitForLog(const QString& user, qint64 pid, const QString& text) const;
    // The port of the process's last listening attempt, the one that succeeded; 0 if none.
    quint16 listeningPort(const QString& user, qint64 pid) const;

    // Killed trays leave their instance locks in the kernel; removes those whose
    // key files lie in tmpDir. Call only when no tray of the test runs any more.
    static void removeInstanceLocks(const QString& tmpDir);

private:
    QString rootPath;
    bool valid = false;
};
