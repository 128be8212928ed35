#include "quilletproperties.h"
#include "titlebar.h"

#include <memory>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(QVector2D)

namespace {
// Title bars live in a window, as in the product; each test cleans up its own, so the
// process-wide primary title bar is free again when the next test starts.
struct Window
{
    Window()
    {
        auto* layout = new QVBoxLayout(&widget);
        titleBar = new TitleBar(&widget);
        layout->addWidget(titleBar);
    }
    QWidget widget;
    TitleBar* titleBar;
};

void drag(TitleBar* titleBar, const QPoint& from, const QPoint& to)
{
    const auto send
        = [titleBar](QEvent::Type type, const QPoint& at, Qt::MouseButton button, Qt::MouseButtons held) {
              QMouseEvent event(type, at, titleBar->mapToGlobal(at), button, held, Qt::NoModifier);
              QCoreApplication::sendEvent(titleBar, &event);
          };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}

QImage iconImage(const QIcon& icon)
{
    return icon.pixmap(12, 12).toImage().convertToFormat(QImage::Format_ARGB32);
}
} // namespace

class TestTitleBar : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void widgetTree_data();
    void widgetTree();
    void buttonsAreThemed();
    void visibleParts_data();
    void visibleParts();
    void buttonSignals_data();
    void buttonSignals();
    void dragVector_data();
    void dragVector();
    void secondaryForwardsToPrimary();
    void nextPrimaryAfterDestruction();
};

void TestTitleBar::initTestCase()
{
    qRegisterMetaType<QVector2D>();
    QuilletProperties::instance();
}

void TestTitleBar::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    const char* const rows[][3] = {
        {"iconLbl", "QLabel", "TitleBar"},
        {"centerInfo", "QWidget", "TitleBar"},
        {"titleBarControls", "QWidget", "TitleBar"},
        {"minBtn", "QPushButton", "titleBarControls"},
        {"maxBtn", "QPushButton", "titleBarControls"},
        {"closeBtn", "QPushButton", "titleBarControls"},
        {"horizontalLayout_3", "QHBoxLayout", "TitleBar"},
        {"horizontalLayout_2", "QHBoxLayout", "centerInfo"},
        {"horizontalLayout", "QHBoxLayout", "titleBarControls"},
    };
    for (const auto& row : rows)
        QTest::newRow(row[0]) << row[0] << row[1] << row[2];
}

void TestTitleBar::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    Window window;
    QCOMPARE(window.titleBar->objectName(), QStringLiteral("TitleBar"));
    QObject* object = window.titleBar->findChild<QObject*>(name);
    QVERIFY2(object, qPrintable(name));
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    QCOMPARE(object->parent()->objectName(), parentName);
}

void TestTitleBar::buttonsAreThemed()
{
    Window window;
    const QString theme = QuilletProperties::instance()->themePath();
    const auto icon = [&](const char* name) { return iconImage(QIcon(theme + QLatin1Char('/') + name)); };
    const auto button = [&](const char* name) { return window.titleBar->findChild<QPushButton*>(name); };
    QCOMPARE(iconImage(button("minBtn")->icon()), icon("minimalize"));
    QCOMPARE(iconImage(button("closeBtn")->icon()), icon("close"));
    QVERIFY(icon("maximize") != icon("restore"));
    window.titleBar->setMaximizedIcon(true);
    QCOMPARE(iconImage(button("maxBtn")->icon()), icon("restore"));
    window.titleBar->setMaximizedIcon(false);
    QCOMPARE(iconImage(button("maxBtn")->icon()), icon("maximize"));
    QCOMPARE(window.titleBar->findChild<QLabel*>(QStringLiteral("iconLbl"))->pixmap().size(), QSize(150, 38));
}

void TestTitleBar::visibleParts_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<QString>("visible"); // icon, centre, connection, minimise, maximise, close
    QTest::newRow("all") << 0x111111 << "111111";
    QTest::newRow("close only") << 0x100000 << "000001";
    QTest::newRow("icon only") << 0x1 << "100000";
    QTest::newRow("centre without connection") << 0x10 << "010000";
    QTest::newRow("centre with connection") << 0x110 << "011000";
    QTest::newRow("minimise only") << 0x1000 << "000100";
    QTest::newRow("maximise only") << 0x10000 << "000010";
    QTest::newRow("other bits ignored") << 0x2222 << "000000";
}

void TestTitleBar::visibleParts()
{
    QFETCH(int, flags);
    QFETCH(QString, visible);
    Window window;
    window.widget.show();
    // Start from the opposite state so that every part has to change.
    window.titleBar->setVisibleParts(~flags & 0x111111);
    window.titleBar->setVisibleParts(flags);
    const char* const parts[]
        = {"iconLbl", "centerInfo", "connectionIconLbl", "minBtn", "maxBtn", "closeBtn", "connectionLbl"};
    for (int i = 0; i < 7; ++i) {
        auto* part = window.titleBar->findChild<QWidget*>(QLatin1String(parts[i]));
        QVERIFY2(part && part->isVisible() == (visible.at(i < 6 ? i : 2) == QLatin1Char('1')), parts[i]);
    }
}

void TestTitleBar::buttonSignals_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("signal");
    QTest::newRow("close") << "closeBtn" << QByteArray(SIGNAL(closeBtnClicked()));
    QTest::newRow("maximise") << "maxBtn" << QByteArray(SIGNAL(maximizeBtnClicked()));
    QTest::newRow("minimise") << "minBtn" << QByteArray(SIGNAL(minimalizeBtnClicked()));
}

void TestTitleBar::buttonSignals()
{
    QFETCH(QString, button);
    QFETCH(QByteArray, signal);
    Window window;
    window.widget.show();
    TitleBar* titleBar = window.titleBar;
    QSignalSpy wanted(titleBar, signal.constData());
    QSignalSpy close(titleBar, &TitleBar::closeBtnClicked);
    QSignalSpy maximize(titleBar, &TitleBar::maximizeBtnClicked);
    QSignalSpy minimize(titleBar, &TitleBar::minimalizeBtnClicked);
    QTest::mouseClick(titleBar->findChild<QPushButton*>(button), Qt::LeftButton);
    QCOMPARE(wanted.size(), 1);
    QCOMPARE(close.size() + maximize.size() + minimize.size(), 1);
}

void TestTitleBar::dragVector_data()
{
    QTest::addColumn<QPoint>("from");
    QTest::addColumn<QPoint>("to");
    QTest::addColumn<QVector2D>("expected");
    QTest::newRow("10 right 5 down") << QPoint(20, 10) << QPoint(30, 15) << QVector2D(-10, -5);
    QTest::newRow("up and left") << QPoint(100, 20) << QPoint(60, 2) << QVector2D(40, 18);
}

void TestTitleBar::dragVector()
{
    QFETCH(QPoint, from);
    QFETCH(QPoint, to);
    QFETCH(QVector2D, expected);
    Window window;
    QSignalSpy spy(window.titleBar, &TitleBar::moveVectorEvent);
    drag(window.titleBar, from, to);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).value<QVector2D>(), expected);
}

void TestTitleBar::secondaryForwardsToPrimary()
{
    Window first;
    Window second;
    QSignalSpy primarySpy(first.titleBar, &TitleBar::moveVectorEvent);
    QSignalSpy secondarySpy(second.titleBar, &TitleBar::moveVectorEvent);
    drag(second.titleBar, QPoint(10, 10), QPoint(13, 14));
    QCOMPARE(secondarySpy.size(), 1);
    QCOMPARE(primarySpy.size(), 1);
    QCOMPARE(primarySpy.at(0).at(0).value<QVector2D>(), QVector2D(-3, -4));
    // Forwarding goes one way only.
    drag(first.titleBar, QPoint(10, 10), QPoint(12, 10));
    QCOMPARE(primarySpy.size(), 2);
    QCOMPARE(secondarySpy.size(), 1);
}

void TestTitleBar::nextPrimaryAfterDestruction()
{
    auto oldPrimary = std::make_unique<Window>();
    Window orphan;
    oldPrimary.reset();
    Window newPrimary;
    Window follower;
    QSignalSpy primarySpy(newPrimary.titleBar, &TitleBar::moveVectorEvent);
    QSignalSpy followerSpy(follower.titleBar, &TitleBar::moveVectorEvent);

    drag(follower.titleBar, QPoint(0, 0), QPoint(1, 1));
    QCOMPARE(primarySpy.size(), 1);
    // A title bar that followed the destroyed primary is not rewired to the new one.
    drag(orphan.titleBar, QPoint(0, 0), QPoint(1, 1));
    QCOMPARE(primarySpy.size(), 1);
    // The new primary forwards to nobody.
    drag(newPrimary.titleBar, QPoint(0, 0), QPoint(2, 2));
    QCOMPARE(followerSpy.size(), 1);
}

QTEST_MAIN(TestTitleBar)
#include "tst_titlebar.moc"
