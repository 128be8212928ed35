#include "traytree.h"
#include "xvfbdisplay.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <QWebSocket>

using namespace Qt::StringLiterals;

// The installed program on a real X desktop: Xvfb with the XEmbed tray host
// trayer, driven with xdotool like a person would. Screenshots are saved in the
// build directory for a look.
class TestDesktop : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void trayStartedBeforeTheTrayHost();

private:
    QString log() const;
    bool waitForLog(const QString& text) const { return m_tree->waitForLog(m_user, m_pid, text); }
    QString iconWindow() const;
    int visibleWindows() const;
    bool openMenu(const QString& window);
    void screenshot(const QString& name);

    QTemporaryDir m_dir;
    std::unique_ptr<TrayTree> m_tree;
    XvfbDisplay m_display;
    QProcess m_tray;
    qint64 m_pid = 0;
    const QString m_user = u"desktop"_s;
};

void TestDesktop::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_tree = std::make_unique<TrayTree>(m_dir.filePath(u"tree"_s));
    QVERIFY(m_tree->isValid());
    QVERIFY(m_tree->addUser(m_user));
    QVERIFY(QDir().mkpath(m_dir.filePath(u"tmp"_s)));
    QVERIFY2(m_display.start(), "Xvfb could not be started");
}

void TestDesktop::cleanupTestCase()
{
    if (m_tray.state() != QProcess::NotRunning) {
        m_tray.kill();
        m_tray.waitForFinished(10000);
    }
    TrayTree::removeInstanceLocks(m_dir.filePath(u"tmp"_s));
}

QString TestDesktop::log() const
{
    return m_tree->logLines(m_user, m_pid).join(u'\n');
}

QString TestDesktop::iconWindow() const
{
    // The icon is embedded when the tray's window sits inside trayer's panel.
    const QStringList tree = m_display.run(u"xwininfo"_s, {u"-root"_s, u"-tree"_s}).split(u'\n');
    const auto indent = [](const QString& line) { return line.size() - line.trimmed().size(); };
    for (qsizetype i = 0; i < tree.size(); ++i) {
        if (!tree.at(i).contains(u"(\"panel\" \"trayer\")"_s))
            continue;
        for (qsizetype j = i + 1; j < tree.size() && indent(tree.at(j)) > indent(tree.at(i)); ++j) {
            if (tree.at(j).contains(u"\"QuilletTray\": (\"QuilletTray\" \"QuilletTray\")"_s))
                return tree.at(j).trimmed().section(u' ', 0, 0);
        }
    }
    return QString();
}

int TestDesktop::visibleWindows() const
{
    const QString windows = m_display.windows(m_pid, u"--classname"_s, u"^QuilletTray$"_s);
    return windows.isEmpty() ? 0 : static_cast<int>(windows.count(u'\n')) + 1;
}

bool TestDesktop::openMenu(const QString& window)
{
    const QString geometry = m_display.run(u"xdotool"_s, {u"getwindowgeometry"_s, u"--shell"_s, window});
    const QRegularExpression value(QStringLiteral(R"(^(\w+)=(\d+)$)"), QRegularExpression::MultilineOption);
    QHash<QString, int> values;
    for (auto it = value.globalMatch(geometry); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        values.insert(match.captured(1), match.captured(2).toInt());
    }
    if (!values.contains(u"WIDTH"_s))
        return false;
    const QString x = QString::number(values.value(u"X"_s) + values.value(u"WIDTH"_s) / 2);
    const QString y = QString::number(values.value(u"Y"_s) + values.value(u"HEIGHT"_s) / 2);

    // Like a person, click again when a click went unanswered (one may land while
    // the previous popup is still closing).
    const QString activated = u" - I - Quillet Tray was activated - at "_s;
    const qsizetype before = log().count(activated);
    for (int click = 0; click < 5; ++click) {
        m_display.run(u"xdotool"_s, {u"mousemove"_s, x, y, u"click"_s, u"3"_s});
        QDeadlineTimer answered(3000);
        while (!answered.hasExpired()) {
            if (log().count(activated) > before)
                return true;
            QTest::qWait(50);
        }
    }
    return false;
}

void TestDesktop::screenshot(const QString& name)
{
    const QString path = QStringLiteral(QUILLET_BUILD_DIR "/screenshots/") + name;
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QVERIFY2(m_display.screenshot(path), qPrintable(path));
    qInfo("Screenshot: %s", qPrintable(path));
}

void TestDesktop::trayStartedBeforeTheTrayHost()
{
    m_tray.setProcessEnvironment(
        m_display.environment(m_tree->environment(m_user, m_dir.filePath(u"tmp"_s))));
    m_tray.start(m_tree->executable(), {});
    QVERIFY(m_tray.waitForStarted(10000));
    m_pid = m_tray.processId();

    // No tray host yet: said so, and the server works all the same.
    QVERIFY2(waitForLog(u" - I - Could not detect any system tray - at "_s), qPrintable(log()));
    QVERIFY(waitForLog(u"Server starts listening on"_s));
    QWebSocket client;
    QSignalSpy connected(&client, &QWebSocket::connected);
    client.open(QUrl(u"ws://127.0.0.1:%1"_s.arg(m_tree->listeningPort(m_user, m_pid))));
    QVERIFY(connected.wait(10000));
    QVERIFY(iconWindow().isEmpty());

    // The tray looks again every 10 seconds; the icon must be in within that.
    QVERIFY(m_display.startTrayHost());
    QString icon;
    QTRY_VERIFY_WITH_TIMEOUT(!(icon = iconWindow()).isEmpty(), 12000);
    screenshot(u"desktop-tray.png"_s);

    // A right click opens the context menu.
    const int windowsWithoutMenu = visibleWindows();
    QVERIFY(openMenu(icon));
    QTRY_VERIFY_WITH_TIMEOUT(visibleWindows() > windowsWithoutMenu, 20000);
    screenshot(u"desktop-menu.png"_s);

    // "&About" through its mnemonic opens the about box.
    m_display.run(u"xdotool"_s, {u"key"_s, u"a"_s});
    QVERIFY(waitForLog(u"Showing MsgInfo:"_s));
    QTRY_VERIFY_WITH_TIMEOUT(!m_display.windows(m_pid, u"--name"_s, u"^Kestrum Quillet$"_s).isEmpty(), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(), windowsWithoutMenu + 1, 20000);
    screenshot(u"desktop-about.png"_s);

    // "&Quit" ends the program normally.
    QVERIFY(openMenu(icon));
    m_display.run(u"xdotool"_s, {u"key"_s, u"q"_s});
    QVERIFY(m_tray.waitForFinished(20000));
    QCOMPARE(m_tray.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_tray.exitCode(), 0);
    // Sessions still open are ended after the exit line, when the tray is torn down.
    QVERIFY2(log().contains(u" - I - Quillet Tray is exiting with exit code: 0 - at "_s), qPrintable(log()));
}

QTEST_GUILESS_MAIN(TestDesktop)
#include "tst_desktop.moc"
