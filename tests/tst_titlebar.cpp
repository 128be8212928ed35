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
std::unique_ptr<QWidget> windowWithTitleBar(TitleBar** titleBar)
{
    auto window = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(window.get());
    *titleBar = new TitleBar(window.get());
    layout->addWidget(*titleBar);
    return window;
}

void drag(TitleBar* titleBar, const QPoint& from, const QPoint& to)
{
    QMouseEvent press(QEvent::MouseButtonPress, from, titleBar->mapToGlobal(from), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(titleBar, &press);
    QMouseEvent move(QEvent::MouseMove, to, titleBar->mapToGlobal(to), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(titleBar, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, to, titleBar->mapToGlobal(to), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(titleBar, &release);
}

QVector2D vectorAt(const QSignalSpy& spy, int index)
{
    return spy.at(index).at(0).value<QVector2D>();
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
    void doubleClick();
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
    QTest::newRow("iconLbl") << "iconLbl"
                             << "QLabel"
                             << "TitleBar";
    QTest::newRow("centerInfo") << "centerInfo"
                                << "QWidget"
                                << "TitleBar";
    QTest::newRow("titleBarControls") << "titleBarControls"
                                      << "QWidget"
                                      << "TitleBar";
    QTest::newRow("minBtn") << "minBtn"
                            << "QPushButton"
                            << "titleBarControls";
    QTest::newRow("maxBtn") << "maxBtn"
                            << "QPushButton"
                            << "titleBarControls";
    QTest::newRow("closeBtn") << "closeBtn"
                              << "QPushButton"
                              << "titleBarControls";
    QTest::newRow("horizontalLayout_3") << "horizontalLayout_3"
                                        << "QHBoxLayout"
                                        << "TitleBar";
    QTest::newRow("horizontalLayout_2") << "horizontalLayout_2"
                                        << "QHBoxLayout"
                                        << "centerInfo";
    QTest::newRow("horizontalLayout") << "horizontalLayout"
                                      << "QHBoxLayout"
                                      << "titleBarControls";
}

void TestTitleBar::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    TitleBar* titleBar = nullptr;
    const auto window = windowWithTitleBar(&titleBar);
    QCOMPARE(titleBar->objectName(), QStringLiteral("TitleBar"));
    QCOMPARE(titleBar->styleSheet(), QStringLiteral("max-height: 48px;"));
    QObject* object = titleBar->findChild<QObject*>(name);
    QVERIFY2(object, qPrintable(name));
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    QCOMPARE(object->parent()->objectName(), parentName);
    if (auto* button = qobject_cast<QPushButton*>(object)) {
        QCOMPARE(button->property("titleBarBtn"), QVariant(true));
        QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
    }
    if (auto* layout = qobject_cast<QLayout*>(object)) {
        QCOMPARE(layout->contentsMargins(), QMargins());
        QCOMPARE(layout->spacing(), name == QLatin1String("horizontalLayout_2") ? 15 : 0);
    }
}

void TestTitleBar::buttonsAreThemed()
{
    TitleBar* titleBar = nullptr;
    const auto window = windowWithTitleBar(&titleBar);
    const QString theme = QuilletProperties::instance()->themePath();
    const auto icon = [&](const char* name) { return iconImage(QIcon(theme + QLatin1Char('/') + name)); };
    auto* minBtn = titleBar->findChild<QPushButton*>(QStringLiteral("minBtn"));
    auto* maxBtn = titleBar->findChild<QPushButton*>(QStringLiteral("maxBtn"));
    auto* closeBtn = titleBar->findChild<QPushButton*>(QStringLiteral("closeBtn"));
    QCOMPARE(iconImage(minBtn->icon()), icon("minimalize"));
    QCOMPARE(iconImage(maxBtn->icon()), icon("maximize"));
    QCOMPARE(iconImage(closeBtn->icon()), icon("close"));
    QVERIFY(icon("maximize") != icon("restore"));
    titleBar->setMaximizedIcon(true);
    QCOMPARE(iconImage(maxBtn->icon()), icon("restore"));
    titleBar->setMaximizedIcon(false);
    QCOMPARE(iconImage(maxBtn->icon()), icon("maximize"));
    const QPixmap logo = titleBar->findChild<QLabel*>(QStringLiteral("iconLbl"))->pixmap();
    QCOMPARE(logo.size(), QSize(150, 38));

    // The theme's style sheet sizes the buttons.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(closeBtn->size(), QSize(40 + 5, 30 + 5));
}

void TestTitleBar::visibleParts_data()
{
    QTest::addColumn<int>("flags");
    // icon, centre, connection, minimise, maximise, close
    QTest::addColumn<QList<bool>>("visible");
    QTest::newRow("all") << 0x111111 << QList<bool> {true, true, true, true, true, true};
    QTest::newRow("close only") << 0x100000 << QList<bool> {false, false, false, false, false, true};
    QTest::newRow("icon only") << 0x1 << QList<bool> {true, false, false, false, false, false};
    QTest::newRow("centre without connection")
        << 0x10 << QList<bool> {false, true, false, false, false, false};
    QTest::newRow("centre with connection") << 0x110 << QList<bool> {false, true, true, false, false, false};
    QTest::newRow("minimise only") << 0x1000 << QList<bool> {false, false, false, true, false, false};
    QTest::newRow("maximise only") << 0x10000 << QList<bool> {false, false, false, false, true, false};
    QTest::newRow("window buttons") << 0x111000 << QList<bool> {false, false, false, true, true, true};
    QTest::newRow("none") << 0 << QList<bool> {false, false, false, false, false, false};
    QTest::newRow("other bits ignored") << 0x2222 << QList<bool> {false, false, false, false, false, false};
}

void TestTitleBar::visibleParts()
{
    QFETCH(int, flags);
    QFETCH(QList<bool>, visible);
    TitleBar* titleBar = nullptr;
    const auto window = windowWithTitleBar(&titleBar);
    window->show();
    // Start from the opposite state so that every part has to change.
    titleBar->setVisibleParts(~flags & 0x111111);
    titleBar->setVisibleParts(flags);
    const QStringList parts {
        QStringLiteral("iconLbl"), QStringLiteral("centerInfo"), QStringLiteral("connectionIconLbl"),
        QStringLiteral("minBtn"),  QStringLiteral("maxBtn"),     QStringLiteral("closeBtn")};
    for (int i = 0; i < parts.size(); ++i) {
        auto* part = titleBar->findChild<QWidget*>(parts.at(i));
        QVERIFY2(part, qPrintable(parts.at(i)));
        QVERIFY2(part->isVisible() == visible.at(i), qPrintable(parts.at(i)));
    }
    auto* connectionLbl = titleBar->findChild<QWidget*>(QStringLiteral("connectionLbl"));
    QCOMPARE(connectionLbl->isVisible(), visible.at(2));
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
    TitleBar* titleBar = nullptr;
    const auto window = windowWithTitleBar(&titleBar);
    window->show();
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
    QTest::newRow("no motion") << QPoint(7, 7) << QPoint(7, 7) << QVector2D(0, 0);
}

void TestTitleBar::dragVector()
{
    QFETCH(QPoint, from);
    QFETCH(QPoint, to);
    QFETCH(QVector2D, expected);
    TitleBar* titleBar = nullptr;
    const auto window = windowWithTitleBar(&titleBar);
    QSignalSpy spy(titleBar, &TitleBar::moveVectorEvent);
    drag(titleBar, from, to);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(vectorAt(spy, 0), expected);
}

void TestTitleBar::doubleClick()
{
    TitleBar* titleBar = nullptr;
    const auto window = windowWithTitleBar(&titleBar);
    window->show();
    QSignalSpy spy(titleBar, &TitleBar::doubleClickedEvent);
    QTest::mouseDClick(titleBar, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QCOMPARE(spy.size(), 1);
}

void TestTitleBar::secondaryForwardsToPrimary()
{
    TitleBar* primary = nullptr;
    TitleBar* secondary = nullptr;
    const auto first = windowWithTitleBar(&primary);
    const auto second = windowWithTitleBar(&secondary);
    QSignalSpy primarySpy(primary, &TitleBar::moveVectorEvent);
    QSignalSpy secondarySpy(secondary, &TitleBar::moveVectorEvent);

    drag(secondary, QPoint(10, 10), QPoint(13, 14));
    QCOMPARE(secondarySpy.size(), 1);
    QCOMPARE(primarySpy.size(), 1);
    QCOMPARE(vectorAt(primarySpy, 0), QVector2D(-3, -4));

    // Forwarding goes one way only.
    drag(primary, QPoint(10, 10), QPoint(12, 10));
    QCOMPARE(primarySpy.size(), 2);
    QCOMPARE(secondarySpy.size(), 1);
}

void TestTitleBar::nextPrimaryAfterDestruction()
{
    TitleBar* oldPrimary = nullptr;
    TitleBar* orphan = nullptr;
    auto first = windowWithTitleBar(&oldPrimary);
    const auto second = windowWithTitleBar(&orphan);
    first.reset();

    TitleBar* newPrimary = nullptr;
    TitleBar* follower = nullptr;
    const auto third = windowWithTitleBar(&newPrimary);
    const auto fourth = windowWithTitleBar(&follower);
    QSignalSpy primarySpy(newPrimary, &TitleBar::moveVectorEvent);
    QSignalSpy followerSpy(follower, &TitleBar::moveVectorEvent);

    drag(follower, QPoint(0, 0), QPoint(1, 1));
    QCOMPARE(primarySpy.size(), 1);
    // A title bar that followed the destroyed primary is not rewired to the new one.
    drag(orphan, QPoint(0, 0), QPoint(1, 1));
    QCOMPARE(primarySpy.size(), 1);
    // The new primary forwards to nobody.
    drag(newPrimary, QPoint(0, 0), QPoint(2, 2));
    QCOMPARE(followerSpy.size(), 1);
}

QTEST_MAIN(TestTitleBar)
#include "tst_titlebar.moc"
