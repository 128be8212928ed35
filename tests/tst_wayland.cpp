#include "testsupport.h"

#include <memory>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>
#include <unistd.h>

using namespace Qt::StringLiterals;

// What a desktop's panel does with a status-notifier icon: it keeps the list of items.
class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered MEMBER hostRegistered)

public:
    bool start()
    {
        // The object stays while the service name comes and goes, as when a panel restarts.
        items.clear();
        bus.registerObject(u"/StatusNotifierWatcher"_s, this, QDBusConnection::ExportAllContents);
        return bus.registerService(u"org.kde.StatusNotifierWatcher"_s);
    }
    QStringList items;
    bool hostRegistered = true;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) { items.append(service); }

private:
    QDBusConnection bus = QDBusConnection::sessionBus();
};

static QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                         const QString& method, const QVariantList& arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message);
}

// The tray on a Wayland desktop as GNOME (with its AppIndicator extension) and KDE Plasma run it:
// the icon as a StatusNotifierItem on the session bus, the boxes under a real compositor (sway,
// headless). Runs as an ordinary user inside its own session bus, through the test's launcher.
class TestWayland : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void trayOnWaylandWithStatusNotifierIcon();

private:
    QVariant itemProperty(const QString& name) const
    {
        const QDBusMessage reply
            = call(m_watcher.items.value(0), u"/StatusNotifierItem"_s, u"org.freedesktop.DBus.Properties"_s,
                   u"Get"_s, {u"org.kde.StatusNotifierItem"_s, name});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    QJsonArray trayWindows() const;

    QTemporaryDir m_dir;
    TrayTree m_tree {m_dir.filePath(u"tree"_s)};
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
    // Destroyed in reverse: the tray and the VNC server end before the compositor.
    QProcess m_sway;
    TrayProcess m_tray {m_tree, u"wayland"_s};
    QProcess m_vnc;
    Watcher m_watcher;
    QTranslator m_english;
};

void TestWayland::initTestCase()
{
    if (getuid() == 0)
        QSKIP("sway refuses to run as root: ctest starts this test as an ordinary user");
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    QVERIFY(m_english.load(u"QuilletTray_en"_s, QStringLiteral(QUILLET_QM_DIR)));
    QVERIFY(m_tree.isValid() && m_tree.addUser(u"wayland"_s) && QDir().mkpath(m_dir.filePath(u"run"_s))
            && writeFile(m_dir.filePath(u"sway.conf"_s), "output HEADLESS-1 resolution 1024x768\n"));
    m_env.insert(u"XDG_RUNTIME_DIR"_s, m_dir.filePath(u"run"_s));
    m_env.insert(u"WLR_BACKENDS"_s, u"headless"_s);
    m_env.insert(u"WLR_RENDERER"_s, u"pixman"_s);
    m_env.insert(u"WLR_LIBINPUT_NO_DEVICES"_s, u"1"_s);
    m_sway.setProcessEnvironment(m_env);
    m_sway.start(u"sway"_s, {u"-c"_s, m_dir.filePath(u"sway.conf"_s)});
    QDir run(m_dir.filePath(u"run"_s));
    QTRY_VERIFY_WITH_TIMEOUT(!run.entryList({u"sway-ipc.*"_s}, QDir::System).isEmpty(), 20000);
    m_env.insert(u"SWAYSOCK"_s, run.filePath(run.entryList({u"sway-ipc.*"_s}, QDir::System).value(0)));
    m_env.insert(u"WAYLAND_DISPLAY"_s, run.entryList({u"wayland-?"_s}, QDir::System).value(0));
}

// The tray's windows as the compositor has them, each with its rectangle.
QJsonArray TestWayland::trayWindows() const
{
    QJsonArray windows;
    QList<QJsonObject> nodes {
        QJsonDocument::fromJson(
            execute(u"swaymsg"_s, {u"-r"_s, u"-t"_s, u"get_tree"_s}, m_env).value_or(QString()).toUtf8())
            .object()};
    while (!nodes.isEmpty()) {
        const QJsonObject node = nodes.takeFirst();
        if (node.value(u"pid"_s).toInteger() == m_tray.process.processId())
            windows.append(node.value(u"rect"_s));
        for (const char* key : {"nodes", "floating_nodes"})
            for (const QJsonValue& child : node.value(QLatin1String(key)).toArray())
                nodes.append(child.toObject());
    }
    return windows;
}

void TestWayland::trayOnWaylandWithStatusNotifierIcon()
{
    // No platform named: a Wayland session makes the tray a Wayland client.
    QProcessEnvironment env = m_tray.process.processEnvironment();
    env.remove(u"QT_QPA_PLATFORM"_s);
    for (const QString& name : {u"XDG_RUNTIME_DIR"_s, u"WAYLAND_DISPLAY"_s})
        env.insert(name, m_env.value(name));
    m_tray.process.setProcessEnvironment(env);
    // The panel appears after the tray, while a page is open: Qt 6.4's tray, which looks every
    // 10 s, starts anew for it only once no page would lose its session (Qt 6.8's registers with
    // a late panel by itself).
    QVERIFY(m_tree.writeScript(u"Quillet.sh"_s, QStringLiteral(QUILLET_DEMO_SIGNER_EXE)));
    QVERIFY(m_tray.start());
    auto open = std::make_unique<Page>(m_tray.port);
    QVERIFY(open->startSession(u"Quillet"_s) && m_watcher.start());
    QVERIFY(!open->waitClosed(12000));
    open.reset();
    QTRY_COMPARE_WITH_TIMEOUT(m_watcher.items.size(), 1, 30000);

    // What a panel shows: the product's tooltip, the quill on its green, the menu in the user's language.
    const QDBusArgument toolTip = itemProperty(u"ToolTip"_s).value<QDBusArgument>();
    QString title; // after the icon's name and pictures
    toolTip.beginStructure();
    toolTip >> title;
    toolTip.beginArray();
    toolTip.endArray();
    toolTip >> title;
    QCOMPARE(title, m_english.translate("QObject", "Quillet"));
    const QDBusArgument pixmaps = itemProperty(u"IconPixmap"_s).value<QDBusArgument>();
    QByteArray argb;
    pixmaps.beginArray();
    while (!pixmaps.atEnd()) {
        int size[2] = {};
        QByteArray bytes;
        pixmaps.beginStructure();
        pixmaps >> size[0] >> size[1] >> bytes;
        argb += bytes;
    }
    QVERIFY2(argb.contains(QByteArray::fromHex("ff019d49")), "no brand green in the icon");

    const QString menu = itemProperty(u"Menu"_s).value<QDBusObjectPath>().path();
    const QDBusMessage layout = call(m_watcher.items.value(0), menu, u"com.canonical.dbusmenu"_s,
                                     u"GetLayout"_s, {0, -1, QStringList()});
    // Its top-level entries: label, or "-" for a separator.
    QStringList labels, expected;
    QList<int> ids;
    const QDBusArgument root = layout.arguments().value(1).value<QDBusArgument>();
    int id = 0;
    QVariantMap properties;
    root.beginStructure();
    root >> id >> properties;
    root.beginArray();
    while (!root.atEnd()) {
        const QDBusArgument child = qdbus_cast<QDBusVariant>(root).variant().value<QDBusArgument>();
        child.beginStructure();
        child >> id >> properties;
        labels.append(
            properties.value(u"type"_s) == u"separator"_s ? u"-"_s : properties.value(u"label"_s).toString());
        ids.append(id);
    }
    for (const char* key : {"&About", "-", "&CheckVersion", "&DiagTitle", "SettingsMenu", "-", "&Quit"})
        expected.append(key == "-"_L1 ? u"-"_s : m_english.translate("QObject", key).replace(u'&', u'_'));
    QCOMPARE(labels, expected);

    // A panel that restarts gets the item again.
    QVERIFY(QDBusConnection::sessionBus().unregisterService(u"org.kde.StatusNotifierWatcher"_s));
    QVERIFY(m_watcher.start());
    QTRY_COMPARE_WITH_TIMEOUT(m_watcher.items.size(), 1, 20000);

    // About opens the box: the compositor shows it with its size; its picture goes to the README.
    const auto click = [&](int entry) {
        call(m_watcher.items.value(0), menu, u"com.canonical.dbusmenu"_s, u"Event"_s,
             {entry, u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0u});
    };
    click(ids.value(labels.indexOf(expected.first())));
    QJsonObject box;
    QTRY_VERIFY_WITH_TIMEOUT(!(box = trayWindows().at(0).toObject()).isEmpty(), 20000);
    const auto at = [&box](const char* key) { return box.value(QLatin1String(key)).toInt(); };
    QVERIFY2(at("width") >= 500 && at("height") >= 200, QJsonDocument(box).toJson().constData());
    execute(u"grim"_s,
            {u"-g"_s, u"%1,%2 %3x%4"_s.arg(at("x")).arg(at("y")).arg(at("width")).arg(at("height")),
             QStringLiteral(QUILLET_BUILD_DIR "/screenshots/wayland-about.png")},
            m_env);

    // A real drag on the title bar with a VNC client's pointer (wayvnc's virtual pointer): the box
    // asks the compositor to move it, and the compositor moves it with the pointer.
    // On a port that is free now, so that tests run side by side never share one.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 vncPort = probe.serverPort();
    probe.close();
    m_vnc.setProcessEnvironment(m_env);
    m_vnc.start(u"wayvnc"_s, {u"127.0.0.1"_s, QString::number(vncPort)});
    QTcpSocket rfb;
    QTRY_VERIFY_WITH_TIMEOUT((rfb.connectToHost(QHostAddress::LocalHost, vncPort), rfb.waitForConnected(500)),
                             10000);
    rfb.write("RFB 003.008\n\x01\x01"); // the protocol version, no authentication, a shared session
    const auto pointer = [&](int held, int dx) {
        QDataStream(&rfb) << quint8(5) << quint8(held) << quint16(at("x") + 200 + dx)
                          << quint16(at("y") + 20);
    };
    // Where the box is now: the compositor may have placed it again since it first showed.
    box = trayWindows().at(0).toObject();
    // The pointer is on the title bar when it presses there, as a person's is: on Debian 13
    // (Qt 6.8, sway 1.10) a press that comes with the pointer's arrival does not reach the box.
    const auto moveAccepted = [&] {
        return m_tree.logLines(u"wayland"_s, m_tray.process.processId())
            .join(u'\n')
            .contains(u"move the box: accepted"_s);
    };
    // A press that the box did not take is let go and made again, never one that it took.
    for (int attempt = 0; attempt < 5 && !moveAccepted(); ++attempt) {
        pointer(0, 0);
        rfb.flush();
        QTest::qWait(300);
        pointer(1, 0);
        rfb.flush();
        (void)QTest::qWaitFor(moveAccepted, 3000);
    }
    QVERIFY(moveAccepted());
    // The button stays held, and the pointer moving on, until the compositor has moved the box
    // with it: the compositor takes the tray's request when it gets to it, perhaps after some of
    // the pointer's way, and moves the box by the way after that.
    int dx = 0;
    const auto dragged = [&] {
        pointer(1, dx = qMin(dx + 10, 300));
        rfb.flush();
        return trayWindows().at(0).toObject().value(u"x"_s).toInt() - at("x");
    };
    QTRY_VERIFY_WITH_TIMEOUT(dragged() >= 50, 10000);
    pointer(0, dx);

    // Quit takes the tray's one way out: an open page is told that the tray goes away.
    Page page(m_tray.port);
    QVERIFY(page.startSession(u"Quillet"_s));
    click(ids.value(labels.indexOf(expected.last())));
    QVERIFY(m_tray.process.waitForFinished(20000) && m_tray.process.exitStatus() == QProcess::NormalExit
            && m_tray.process.exitCode() == 0);
    QVERIFY(page.waitClosed() && page.closeCode == 1001);
}

QTEST_GUILESS_MAIN(TestWayland)
#include "tst_wayland.moc"
