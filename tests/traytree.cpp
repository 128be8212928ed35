#include "traytree.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

TrayTree::TrayTree(const QString& root)
    : rootPath(root)
{
    const QDir dir(root);
    for (const char* sub : {"bin", "etc", "share/translations", "share/applications"}) {
        if (!dir.mkpath(QString::fromLatin1(sub)))
            return;
    }
    const QList<QPair<QString, QString>> files {
        {QStringLiteral(QUILLET_TRAY_EXE), QStringLiteral("bin/QuilletTray")},
        {QStringLiteral(QUILLET_SOURCE_DIR "/etc/Quillet.conf"), QStringLiteral("etc/Quillet.conf")},
        {QStringLiteral(QUILLET_QM_DIR "/QuilletTray_en.qm"),
         QStringLiteral("share/translations/QuilletTray_en.qm")},
        {QStringLiteral(QUILLET_QM_DIR "/QuilletTray_sk.qm"),
         QStringLiteral("share/translations/QuilletTray_sk.qm")},
        {QStringLiteral(QUILLET_SOURCE_DIR "/share/applications/eu.kestrum.Quillet.desktop"),
         QStringLiteral("share/applications/eu.kestrum.Quillet.desktop")},
    };
    for (const auto& [source, target] : files) {
        if (!QFile::copy(source, dir.filePath(target)))
            return;
    }
    valid = true;
}

QString TrayTree::home(const QString& user) const
{
    return rootPath + QStringLiteral("/users/") + user + QStringLiteral("/home");
}

QString TrayTree::dataHome(const QString& user) const
{
    return rootPath + QStringLiteral("/users/") + user + QStringLiteral("/data");
}

bool TrayTree::addUser(const QString& user) const
{
    const QString logDir = dataHome(user) + QStringLiteral("/Kestrum/Quillet/Logs");
    if (!QDir().mkpath(home(user) + QStringLiteral("/.config")) || !QDir().mkpath(logDir))
        return false;
    QFile log(logDir + QStringLiteral("/QuilletTrayLog.txt"));
    return log.open(QIODevice::WriteOnly);
}

QProcessEnvironment TrayTree::environment(const QString& user, const QString& tmpDir) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home(user));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome(user));
    env.insert(QStringLiteral("TMPDIR"), tmpDir);
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    env.remove(QStringLiteral("LANGUAGE"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("en_US.UTF-8"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

QStringList TrayTree::logLines(const QString& user, qint64 pid) const
{
    QFile file(dataHome(user) + QStringLiteral("/Kestrum/Quillet/Logs/QuilletTrayLog.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString marker = QStringLiteral(" - %1 - ").arg(pid);
    QStringList lines;
    for (const QString& line :
         QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.contains(marker))
            lines.append(line);
    }
    return lines;
}

bool TrayTree::waitForLog(const QString& user, qint64 pid, const QString& text) const
{
    const QDeadlineTimer deadline(30000);
    while (!logLines(user, pid).join(QLatin1Char('\n')).contains(text)) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(50);
    }
    return true;
}

quint16 TrayTree::listeningPort(const QString& user, qint64 pid) const
{
    const QRegularExpression attempt(
        QStringLiteral(R"(Server starts listening on "127\.0\.0\.1" : (\d+) - )"));
    quint16 port = 0;
    for (const QString& line : logLines(user, pid)) {
        const QRegularExpressionMatch match = attempt.match(line);
        if (match.hasMatch())
            port = match.captured(1).toUShort();
    }
    return port;
}

void TrayTree::removeInstanceLocks(const QString& tmpDir)
{
    const QDir dir(tmpDir);
    for (const QString& name : dir.entryList({QStringLiteral("qipc_*")}, QDir::Files)) {
        // Qt names its System V objects by ftok() of these key files.
        const key_t key = ftok(QFile::encodeName(dir.filePath(name)).constData(), 'Q');
        if (key == -1)
            continue;
        if (name.startsWith(QLatin1String("qipc_sharedmemory_"))) {
            const int id = shmget(key, 0, 0);
            if (id != -1)
                shmctl(id, IPC_RMID, nullptr);
        } else if (name.startsWith(QLatin1String("qipc_systemsem_"))) {
            const int id = semget(key, 1, 0);
            if (id != -1)
                semctl(id, 0, IPC_RMID);
        }
        QFile::remove(dir.filePath(name));
    }
}
