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
    for (const char* sub : {"bin", "etc", "share/translations", "share/applications"})
        dir.mkpath(QString::fromLatin1(sub));
    const QList<QPair<QString, QString>> files {
        {QStringLiteral(QUILLET_TRAY_EXE), u"bin/QuilletTray"_s},
        {QStringLiteral(QUILLET_SOURCE_DIR "/etc/Quillet.conf"), u"etc/Quillet.conf"_s},
        {QStringLiteral(QUILLET_QM_DIR "/QuilletTray_en.qm"), u"share/translations/QuilletTray_en.qm"_s},
        {QStringLiteral(QUILLET_QM_DIR "/QuilletTray_sk.qm"), u"share/translations/QuilletTray_sk.qm"_s},
        {QStringLiteral(QUILLET_SOURCE_DIR "/share/applications/eu.kestrum.Quillet.desktop"),
         u"share/applications/eu.kestrum.Quillet.desktop"_s},
    };
    valid = true;
    for (const auto& [source, target] : files)
        valid = valid && QFile::copy(source, dir.filePath(target));
}

bool TrayTree::addUser(const QString& user) const
{
    const QString logDir = dataHome(user) + u"/Kestrum/Quillet/Logs"_s;
    QFile log(logDir + u"/QuilletTrayLog.txt"_s);
    return QDir().mkpath(home(user) + u"/.config"_s) && QDir().mkpath(home(user) + u"/tmp"_s)
        && QDir().mkpath(logDir) && log.open(QIODevice::WriteOnly);
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
    return QString::fromUtf8(file.readAll()).split(u'\n').filter(u" - %1 - "_s.arg(pid));
}

bool TrayTree::waitForLog(const QString& user, qint64 pid, const QString& text) const
{
    return QTest::qWaitFor([&] { return logLines(user, pid).join(u'\n').contains(text); }, 30000);
}

quint16 TrayTree::listeningPort(const QString& user, qint64 pid) const
{
    const QRegularExpression attempt(u"Server is listening on port (\\d+) - "_s);
    quint16 port = 0;
    for (const QString& line : logLines(user, pid)) {
        if (const QRegularExpressionMatch match = attempt.match(line); match.hasMatch())
            port = match.captured(1).toUShort();
    }
    return port;
}

bool TrayTree::writeScript(const QString& name, const QString& program) const
{
    QFile script(rootPath + u"/bin/"_s + name);
    return script.open(QIODevice::WriteOnly)
        && script.write("#!/bin/sh\nexec '" + program.toUtf8() + "'\n") > 0
        && script.setPermissions(script.permissions() | QFile::ExeOwner);
}

bool TrayTree::writeConfig(const QString& trayElements) const
{
    QFile file(rootPath + u"/etc/Quillet.conf"_s);
    return file.open(QIODevice::WriteOnly)
        && file.write(u"<Quillet><QuilletTray>%1</QuilletTray><QuilletUpdater><Version>2.6.1</Version>"
                      "<Url>https://example.invalid/v.xml</Url><DownloadUrl>https://example.invalid/"
                      "</DownloadUrl></QuilletUpdater></Quillet>"_s.arg(trayElements)
                          .toUtf8())
        > 0;
}

void TrayTree::removeInstanceLocks(const QString& tmpDir)
{
    const QDir dir(tmpDir);
    for (const QString& name : dir.entryList({u"qipc_*"_s}, QDir::Files)) {
        // Qt names its System V objects by ftok() of these key files.
        const key_t key = ftok(QFile::encodeName(dir.filePath(name)).constData(), 'Q');
        if (name.startsWith(QLatin1String("qipc_sharedmemory_")) && shmget(key, 0, 0) != -1)
            shmctl(shmget(key, 0, 0), IPC_RMID, nullptr);
        else if (name.startsWith(QLatin1String("qipc_systemsem_")) && semget(key, 1, 0) != -1)
            semctl(semget(key, 1, 0), 0, IPC_RMID);
        QFile::remove(dir.filePath(name));
    }
}

TrayProcess::TrayProcess(const TrayTree& trayTree, const QString& userName)
    : tree(trayTree)
    , user(userName)
{
    process.setProcessEnvironment(tree.environment(user, tree.home(user) + u"/tmp"_s));
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

TrayProcess::~TrayProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(10000);
    }
    TrayTree::removeInstanceLocks(tree.home(user) + u"/tmp"_s);
}

bool TrayProcess::start()
{
    process.start(tree.executable(), {});
    return process.waitForStarted(10000)
        && QTest::qWaitFor([&] { return (port = tree.listeningPort(user, process.processId())) != 0; },
                           30000);
}
