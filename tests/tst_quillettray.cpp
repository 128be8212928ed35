#include "logcapture.h"
#include "msgbox.h"
#include "quillettray.h"
#include "traysandbox.h"

#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <QTcpServer>
#include <QTranslator>
#include <QtTest>
#include <QWebSocket>

using namespace Qt::StringLiterals;

// The tray controller with a temporary HOME, data directory and configuration, and the
// real WebSocket server on loopback.
class TestQuilletTray : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void menuAndToolTip();
    void eachOpeningLogsAndRefreshesAutostart();
    void aboutBoxOnceAtATime();
    void destructionFinishesAllBoxes();
    void serverPorts_data();
    void serverPorts();
    void firstRun();
    void dataDirectoryCannotBeMade();

private:
    std::unique_ptr<QuilletTray> makeTray();
    void setConfigVersion(const QString& version);

    QTranslator m_translator;
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_autostartFile;
};

namespace {
const QList<quint16> trayPorts {2378, 3546, 4384, 5147, 5692, 6378, 7678, 7681, 9799, 9796};

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void openAndClose(QMenu* menu)
{
    menu->popup(QPoint(0, 0));
    menu->hide();
}
} // namespace

void TestQuilletTray::initTestCase()
{
    QVERIFY(m_translator.load(QStringLiteral(QUILLET_QM_DIR "/QuilletTray_en.qm")));
    QVERIFY(QCoreApplication::installTranslator(&m_translator));
}

void TestQuilletTray::init()
{
    m_root = makeTraySandbox();
    QVERIFY(m_root);
    m_autostartFile = m_root->filePath(u"home/.config/autostart/eu.kestrum.Quillet.desktop"_s);
    setConfigVersion(u"2.6.1"_s);
}

void TestQuilletTray::cleanup()
{
    MsgBox::setTerminating(false);
}

std::unique_ptr<QuilletTray> TestQuilletTray::makeTray()
{
    auto tray = std::make_unique<QuilletTray>(nullptr, u"en"_s);
    // The controller moves to the program's directory; the configuration is read
    // relative to the current directory, so point it at the test's own tree.
    QDir::setCurrent(m_root->filePath(u"bin"_s));
    return tray;
}

void TestQuilletTray::setConfigVersion(const QString& version)
{
    QByteArray contents = readFile(QStringLiteral(QUILLET_SOURCE_DIR "/etc/Quillet.conf"));
    contents.replace("<Version>2.6.1</Version>", "<Version>" + version.toUtf8() + "</Version>");
    QFile target(m_root->filePath(u"etc/Quillet.conf"_s));
    QVERIFY(target.open(QIODevice::WriteOnly | QIODevice::Truncate));
    target.write(contents);
}

void TestQuilletTray::menuAndToolTip()
{
    const auto tray = makeTray();
    QCOMPARE(tray->toolTip(), u"Kestrum Quillet"_s);
    QVERIFY(!tray->icon().isNull() && !tray->isVisible());
    // "-" a separator, "[...]" a submenu, "*" a checkable entry.
    QStringList entries;
    for (const QAction* action : tray->contextMenu()->actions()) {
        QString entry = action->isSeparator() ? u"-"_s : action->text();
        if (action->menu()) {
            QStringList sub;
            for (const QAction* subAction : action->menu()->actions())
                sub.append(subAction->text() + QLatin1String(subAction->isCheckable() ? "*" : ""));
            entry += u" [%1]"_s.arg(sub.join(u", "_s));
        }
        entries.append(entry);
    }
    QCOMPARE(entries,
             (QStringList {"&About", "-", "&Check for updates",
                           "&Diagnostics [Turn &logging on, &Open log folder]",
                           "&Settings [Start when I &log in*]", "-", "&Quit"}));
}

void TestQuilletTray::eachOpeningLogsAndRefreshesAutostart()
{
    const auto tray = makeTray();
    QAction* startup = tray->contextMenu()->actions().at(4)->menu()->actions().first();
    LogCapture log;
    QFile entry(m_autostartFile);
    QVERIFY(entry.open(QIODevice::WriteOnly) && entry.write("X-GNOME-Autostart-enabled=false\n") > 0);
    entry.close();
    openAndClose(tray->contextMenu());
    QVERIFY(!startup->isChecked());

    QVERIFY(entry.open(QIODevice::WriteOnly) && entry.write("X-GNOME-Autostart-enabled=true\n") > 0);
    entry.close();
    openAndClose(tray->contextMenu());
    QVERIFY(startup->isChecked());
    QCOMPARE(log.count(u"I: Quillet Tray was activated"_s), 2);
}

void TestQuilletTray::aboutBoxOnceAtATime()
{
    const auto tray = makeTray();
    QAction* about = tray->contextMenu()->actions().first();
    LogCapture log;

    about->trigger();
    QCOMPARE(MsgBox::openBoxes().size(), 1);
    QPointer<MsgBox> box = MsgBox::openBoxes().first();
    QVERIFY(box->isVisible() && box->windowTitle() == u"Kestrum Quillet"_s);
    QVERIFY(log.contains(u"I: Showing MsgInfo:  \"Quillet Tray\\nVersion 2.6.1\""_s));

    // Again while it is open: the same box, brought forward, not a second one.
    box->showMinimized();
    about->trigger();
    QCOMPARE(MsgBox::openBoxes(), QList<MsgBox*> {box.data()});
    QCOMPARE(log.count(u"Showing MsgInfo:"_s), 1);
    QVERIFY(box->isVisible() && !box->isMinimized());

    // Closed by the user: removed and deleted from the event loop.
    QTest::keyClick(box.data(), Qt::Key_Escape);
    QTRY_VERIFY(box.isNull());
    QVERIFY(MsgBox::openBoxes().isEmpty());

    // Built anew with the version read again.
    setConfigVersion(u"3.1"_s);
    about->trigger();
    QCOMPARE(MsgBox::openBoxes().size(), 1);
    QVERIFY(log.contains(u"I: Showing MsgInfo:  \"Quillet Tray\\nVersion 3.1.0\""_s));
}

void TestQuilletTray::destructionFinishesAllBoxes()
{
    auto tray = makeTray();
    tray->contextMenu()->actions().first()->trigger();
    QPointer<MsgBox> about = MsgBox::openBoxes().first();
    QSignalSpy aboutFinished(about.data(), &QDialog::finished);

    // A modal error box waits in its own event loop while the tray goes away.
    bool errorBoxReturned = false;
    QTimer::singleShot(0, this, [&] {
        QTimer::singleShot(0, this, [&] {
            QCOMPARE(MsgBox::openBoxes().size(), 2);
            tray.reset();
        });
        MsgBox::showError(nullptr, u"AppName"_s, u"GeneralError"_s);
        errorBoxReturned = true;
    });
    QTRY_VERIFY(errorBoxReturned);
    QVERIFY(!tray);
    QCOMPARE(aboutFinished.size(), 1);
    QVERIFY(about.isNull());
    QVERIFY(MsgBox::openBoxes().isEmpty());
}

void TestQuilletTray::serverPorts_data()
{
    QTest::addColumn<int>("taken");
    QTest::addColumn<int>("listening");
    QTest::newRow("all free: 2378") << 0 << 2378;
    QTest::newRow("first nine taken: 9796") << 9 << 9796;
    QTest::newRow("all ten taken: none") << 10 << 0;
}

void TestQuilletTray::serverPorts()
{
    QFETCH(int, taken);
    QFETCH(int, listening);
    // The test needs the whole list for itself: it takes some ports, the tray the next.
    std::vector<std::unique_ptr<QTcpServer>> holders;
    for (int i = 0; i < trayPorts.size(); ++i) {
        auto holder = std::make_unique<QTcpServer>();
        if (!holder->listen(QHostAddress::LocalHost, trayPorts.at(i)))
            QSKIP(qPrintable(u"Port %1 is in use by another program"_s.arg(trayPorts.at(i))));
        if (i < taken)
            holders.push_back(std::move(holder));
    }

    const auto tray = makeTray();
    LogCapture log;
    tray->startWebSocketServer();

    QCOMPARE(log.count(u"Server starts listening on"_s), qMin(taken + 1, 10));
    QCOMPARE(log.count(u"W: Unable to listen on specified address and port"_s), taken);
    if (listening == 0)
        return;
    QVERIFY(log.contains(u"Server starts listening on \"127.0.0.1\" : %1"_s.arg(listening)));
    QWebSocket client;
    QSignalSpy connected(&client, &QWebSocket::connected);
    client.open(QUrl(u"ws://127.0.0.1:%1"_s.arg(listening)));
    QVERIFY(connected.wait());
}

void TestQuilletTray::firstRun()
{
    const QString stamp = m_root->filePath(u"data/Kestrum/Quillet/firstrun.stamp"_s);
    LogCapture log;
    auto tray = makeTray();
    QVERIFY(QFileInfo::exists(stamp));
    const QStringList lines = log.lines();
    const qsizetype first = lines.indexOf(u"I: Quillet Tray is running for the first time"_s);
    QVERIFY2(first >= 0, qPrintable(lines.join(u'\n')));
    QCOMPARE(lines.mid(first + 1, 3),
             (QStringList {u"I: Overriding file:  \"%1\""_s.arg(stamp), u"I: Override is successful"_s,
                           u"I: Startup action will be set to: Enabled"_s}));
    // Autostart is turned on with the installed entry.
    QCOMPARE(readFile(m_autostartFile),
             readFile(QStringLiteral(QUILLET_BUILD_DIR "/share/applications/eu.kestrum.Quillet.desktop")));

    // Later runs leave autostart as the user set it.
    log.clear();
    tray.reset();
    QVERIFY(QFile::remove(m_autostartFile));
    tray = makeTray();
    QVERIFY(!tray->isFirstRun());
    QVERIFY(!log.contains(u"first time"_s));
    QVERIFY(!QFileInfo::exists(m_autostartFile));
}

// Without a data directory every question finds a first run, and says why.
void TestQuilletTray::dataDirectoryCannotBeMade()
{
    QVERIFY(QFile(m_root->filePath(u"data"_s)).open(QIODevice::WriteOnly));
    LogCapture log;
    const auto tray = makeTray();
    QVERIFY(tray->isFirstRun());
    QCOMPARE(log.count(u"W: Couldn't make quillet dir in "_s), 2);
    QCOMPARE(log.count(u"I: Quillet Tray is running for the first time"_s), 2);
    QVERIFY(!log.contains(u"Override is successful"_s));
}

QTEST_MAIN(TestQuilletTray)
#include "tst_quillettray.moc"
