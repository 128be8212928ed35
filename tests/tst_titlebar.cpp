#include "quilletproperties.h"
#include "titlebar.h"

#include <memory>
#include <QLayout>
#include <QSignalSpy>
#include <QtTest>

// Dragging, the moving of several boxes together and the close button are checked with
// real message boxes in tst_msgbox.
namespace {
// Title bars live in a window, as in the product; each test cleans up its own, so the
// process-wide primary title bar is free again when the next test starts.
struct Window
{
    Window() { (new QVBoxLayout(&widget))->addWidget(titleBar); }
    QWidget widget;
    TitleBar* titleBar = new TitleBar(&widget);
};

void drag(TitleBar* titleBar)
{
    const auto send = [titleBar](QEvent::Type type, const QPoint& at, Qt::MouseButtons held) {
        QMouseEvent event(type, at, titleBar->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
        QCoreApplication::sendEvent(titleBar, &event);
    };
    send(QEvent::MouseButtonPress, QPoint(0, 0), Qt::LeftButton);
    send(QEvent::MouseMove, QPoint(1, 1), Qt::LeftButton);
}
} // namespace

class TestTitleBar : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QuilletProperties::instance(); }
    void visibleParts_data();
    void visibleParts();
    void nextPrimaryAfterDestruction();
};

void TestTitleBar::visibleParts_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<QString>("visible"); // icon, centre, connection, minimise, maximise, close
    QTest::newRow("all") << 0x111111 << "111111";
    QTest::newRow("close only, as in a message box") << 0x100000 << "000001";
    QTest::newRow("centre with connection") << 0x110 << "011000";
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

// A title bar that followed a destroyed primary is not rewired to the next one.
void TestTitleBar::nextPrimaryAfterDestruction()
{
    auto oldPrimary = std::make_unique<Window>();
    Window orphan;
    oldPrimary.reset();
    Window newPrimary;
    Window follower;
    QSignalSpy primarySpy(newPrimary.titleBar, &TitleBar::moveVectorEvent);
    QSignalSpy followerSpy(follower.titleBar, &TitleBar::moveVectorEvent);

    drag(follower.titleBar);
    QCOMPARE(primarySpy.size(), 1);
    drag(orphan.titleBar);
    QCOMPARE(primarySpy.size(), 1);
    // The new primary forwards to nobody.
    drag(newPrimary.titleBar);
    QCOMPARE(primarySpy.size(), 2);
    QCOMPARE(followerSpy.size(), 1);
}

QTEST_MAIN(TestTitleBar)
#include "tst_titlebar.moc"
