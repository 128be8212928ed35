#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

// The installed program on a real X desktop without a session bus: Xvfb with the XEmbed tray
// host trayer, driven with xdotool like a person would. The menu's entries and Quit are checked
// over D-Bus in tst_wayland.
class TestDesktop : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void trayStartedBeforeTheTrayHost();

private:
    // Qt maps the icon's window only once a tray host has taken it in.
    QString iconWindow() const
    {
        return m_display.windows(m_tray.process.processId(), u"--classname"_s, u"^QuilletTray$"_s);
    }

    QTemporaryDir m_dir;
    TrayTree m_tree {m_dir.filePath(u"tree"_s)};
    XvfbDisplay m_display;
    TrayProcess m_tray {m_tree, u"desktop"_s};
};

void TestDesktop::trayStartedBeforeTheTrayHost()
{
    QVERIFY(m_tree.isValid() && m_tree.addUser(u"desktop"_s));
    QVERIFY2(m_display.start(), "Xvfb could not be started");
    m_tray.process.setProcessEnvironment(m_display.environment(m_tray.process.processEnvironment()));
    QVERIFY(m_tray.start() && m_tray.logged(u" - I - Could not detect any system tray - at "_s));
    QVERIFY(iconWindow().isEmpty());

    // The tray looks again every 10 seconds; the icon must be in within that.
    QVERIFY(m_display.startTrayHost());
    QString icon;
    QTRY_VERIFY_WITH_TIMEOUT(!(icon = iconWindow()).isEmpty(), 12000);

    // A right click opens the menu, "&About" through its mnemonic the box; its picture goes to the README.
    m_display.run(u"xdotool"_s, {u"mousemove"_s, u"--window"_s, icon, u"8"_s, u"8"_s, u"click"_s, u"3"_s});
    QVERIFY(m_tray.logged(u" - I - Quillet Tray was activated - at "_s));
    m_display.run(u"xdotool"_s, {u"key"_s, u"a"_s});
    QString box;
    QTRY_VERIFY_WITH_TIMEOUT(
        !(box = m_display.windows(m_tray.process.processId(), u"--name"_s, u"^Kestrum Quillet$"_s)).isEmpty(),
        20000);
    m_display.run(u"import"_s,
                  {u"-window"_s, box, QStringLiteral(QUILLET_BUILD_DIR "/screenshots/x11-about.png")});
    QVERIFY(!QImage(QStringLiteral(QUILLET_BUILD_DIR "/screenshots/x11-about.png")).isNull());

    // A second start by the same user is refused with a box; closing it ends that process with 1,
    // and the first tray goes on serving.
    QProcess second;
    second.setProcessEnvironment(m_tray.process.processEnvironment());
    second.start(m_tree.executable(), {});
    QString refusal;
    QTRY_VERIFY_WITH_TIMEOUT(
        !(refusal = m_display.windows(second.processId(), u"--name"_s, u"^Kestrum Quillet$"_s)).isEmpty(),
        20000);
    m_display.run(u"xdotool"_s, {u"windowfocus"_s, u"--sync"_s, refusal, u"key"_s, u"Escape"_s});
    QVERIFY(second.waitForFinished(20000));
    QCOMPARE(second.exitCode(), 1);
    Page page(m_tray.port);
    QVERIFY(page.waitConnected());
}

QTEST_GUILESS_MAIN(TestDesktop)
#include "tst_desktop.moc"
