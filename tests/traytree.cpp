#include "traytree.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

using namespace Qt::StringLiterals;

TrayTree::TrayTree(const QString& root)
    : rootPath(root)
{
    const QDir dir(root);
    for (const char* sub : {"bin", "etc", "share/translations", "share/applications"}) {
        if (!dir.mkpath(QString::fromLatin1(sub)))
            return;
    }
    const QList<QPair<QString, QString>> files {
        {QStringLiteral(QUILLET_TRAY_EXE), u"bin/QuilletTray"_s},
        {QStringLiteral(QUILLET_SOURCE_DIR "/etc/Quillet.conf"), u"etc/Quillet.conf"_s},
        {QStringLiteral(QUILLET_QM_DIR "/QuilletTray_en.qm"), u"share/translations/QuilletTray_en.qm"_s},
        {QStringLiteral(QUILLET_QM_DIR "/QuilletTray_sk.qm"), u"share/translations/QuilletTray_sk.qm"_s},
        {QStringLiteral(QUILLET_SOURCE_DIR "/share/applications/eu.kestrum.Quillet.desktop"),
         u"share/applications/eu.kestrum.Quillet.desktop"_s},
    };
    for (const auto& [source, target] : files) {
        if (!QFile::copy(source, dir.filePath(target)))
            return;
    }
    valid = true;
}

QString TrayTree::home(const QString& user) const
{
    return rootPath + u"/users/"_s + user + u"/home"_s;
}

QString TrayTree::dataHome(const QString& user) const
{
    return rootPath + u"/users/"_s + user + u"/data"_s;
}

bool TrayTree::addUser(const QString& user) const
{
    const QString logDir = dataHome(user) + u"/Kestrum/Quillet/Logs"_s;
    if (!QDir().mkpath(home(user) + u"/.config"_s) || !QDir().mkpath(logDir))
        return false;
    QFile log(logDir + u"/QuilletTrayLog.txt"_s);
    return log.open(QIODevice::WriteOnly);
}

QProcessEnvironment TrayTree::environment(const QString& user, const QString& tmpDir) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"HOME"_s, home(user));
    env.insert(u"XDG_DATA_HOME"_s, dataHome(user));
    env.insert(u"TMPDIR"_s, tmpDir);
    env.remove(u"XDG_RUNTIME_DIR"_s);
    env.remove(u"LANGUAGE"_s);
    env.insert(u"LC_ALL"_s, u"en_US.UTF-8"_s);
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    return env;
}

QStringList TrayTree::logLines(const QString& user, qint64 pid) const
{
    QFile file(dataHome(user) + u"/Kestrum/Quillet/Logs/QuilletTrayLog.txt"_s);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString marker = u" - %1 - "_s.arg(pid);
    QStringList lines;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts)) {
        if (line.contains(marker))
            lines.append(line);
    }
    return lines;
}

bool TrayTree::waitForLog(const QString& user, qint64 pid, const QString& text) const
{
    const QDeadlineTimer deadline(30000);
    while (!logLines(user, pid).join(u'\n').contains(text)) {
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
    for (const QString& name : dir.entryList({u"qipc_*"_s}, QDir::Files)) {
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
