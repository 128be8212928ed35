#include "appexception.h"
#include "msgbox.h"
#include "quilletproperties.h"
#include "titlebar.h"

#include <functional>
#include <memory>
#include <QDir>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
using ShowFunction = std::function<void(const QString& message)>;

template <typename T = QWidget> T* child(QWidget* box, const char* name)
{
    return box->findChild<T*>(QLatin1String(name));
}

QString text(const char* key)
{
    return QCoreApplication::translate("QObject", key);
}

// Runs check on the newest open box once its modal loop runs, then closes it with OK.
void inspectNextBox(const std::function<void(MsgBox*)>& check)
{
    QTimer::singleShot(0, [check] {
        MsgBox* box = MsgBox::openBoxes().value(MsgBox::openBoxes().size() - 1);
        if (!box)
            return;
        check(box);
        QTest::mouseClick(child<QPushButton>(box, "btnOK"), Qt::LeftButton);
    });
}

void sendMouse(QWidget* target, QEvent::Type type, const QPoint& local, Qt::MouseButtons buttons)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, local, target->mapToGlobal(local), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

void drag(QWidget* target, const QPoint& from, const QPoint& to)
{
    sendMouse(target, QEvent::MouseButtonPress, from, Qt::LeftButton);
    sendMouse(target, QEvent::MouseMove, to, Qt::LeftButton);
}

std::unique_ptr<MsgBox> shownBox(const QPoint& at = QPoint(200, 200))
{
    auto box = std::make_unique<MsgBox>(nullptr, u"Message"_s, u"Title"_s, MsgBox::IconError, true);
    box->move(at);
    box->show();
    return QTest::qWaitForWindowExposed(box.get()) ? std::move(box) : nullptr;
}

// Installs the theme's sheets until the returned guard goes.
auto useTheme(const QString& theme)
{
    QuilletProperties::instance()->setTheme(theme);
    QuilletProperties::instance()->applyDefaultStyleSheet();
    return qScopeGuard([] {
        QuilletProperties::instance()->setTheme(u"light"_s);
        QuilletProperties::instance()->applyDefaultStyleSheet();
    });
}

// Checks what a broken style sheet would spoil and saves the box under build/screenshots
// for people to look at.
void checkAndSavePicture(MsgBox* box, const QString& name)
{
    const QImage shot = box->grab().toImage();
    // The shadow margin is see-through at the outer edge and the window opaque inside.
    const int midY = shot.height() / 2;
    QVERIFY(shot.pixelColor(0, midY).alpha() < 40);
    QVERIFY(shot.pixelColor(7, midY).alpha() > shot.pixelColor(2, midY).alpha());
    QCOMPARE(shot.pixelColor(8, midY).alpha(), 255);
    auto* lblInfo = child<QLabel>(box, "lblInfo");
    QVERIFY2(lblInfo->heightForWidth(lblInfo->width()) <= lblInfo->height(), "the message needs scrolling");

    const QString dir = QStringLiteral(QUILLET_BUILD_DIR "/screenshots");
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(shot.save(dir + u"/%1.png"_s.arg(name)));
}
} // namespace

Q_DECLARE_METATYPE(ShowFunction)

class TestMsgBox : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void showFunctions_data();
    void showFunctions();
    void detailsAnimation();
    void aboutDialog();
    void appException_data();
    void appException();
    void dragMovesBoxes();
    void edgeResize_data();
    void edgeResize();
    void terminatingShowsNothing();

private:
    QTranslator translator;
};

void TestMsgBox::initTestCase()
{
    QVERIFY(translator.load(u"QuilletTray_en"_s, QStringLiteral(QUILLET_QM_DIR)));
    QVERIFY(QCoreApplication::installTranslator(&translator));
    QuilletProperties::instance();
}

void TestMsgBox::cleanup()
{
    QVERIFY(MsgBox::openBoxes().isEmpty());
}

void TestMsgBox::showFunctions_data()
{
    QTest::addColumn<QString>("theme");
    QTest::addColumn<ShowFunction>("show");
    QTest::addColumn<QString>("logLine"); // %1: the message
    QTest::addColumn<bool>("image");
    QTest::addColumn<bool>("details");
    const ShowFunction error = [](auto& m) { MsgBox::showError(nullptr, u"Title"_s, m); };
    const ShowFunction withDetail
        = [](auto& m) { MsgBox::showErrorWithDetail(nullptr, u"Title"_s, m, u"Details"_s); };
    const ShowFunction success = [](auto& m) { MsgBox::showSuccess(nullptr, u"Title"_s, m); };
    const ShowFunction info = [](auto& m) { MsgBox::showInfoWithoutIcon(nullptr, u"Title"_s, m); };
    for (const char* theme : {"light", "dark"}) {
        QTest::addRow("%s error", theme)
            << theme << error << u"Showing error with message:  \"%1\""_s << true << false;
        QTest::addRow("%s error-details", theme)
            << theme << withDetail << u"Showing error with hidden message:  \"Details\""_s << true << true;
        QTest::addRow("%s success", theme)
            << theme << success << u"Showing Success:  \"%1\""_s << true << false;
        QTest::addRow("%s info", theme) << theme << info << u"Showing Info:  \"%1\""_s << false << false;
    }
}

// Each show function runs one modal box, opened details included, and disposes of it.
void TestMsgBox::showFunctions()
{
    QFETCH(QString, theme);
    QFETCH(ShowFunction, show);
    QFETCH(QString, logLine);
    QFETCH(bool, image);
    QFETCH(bool, details);
    const auto restore = useTheme(theme);
    const QString message
        = u"The signer could not be started. Please try again, and contact support if the problem persists."_s;
    QTest::ignoreMessage(QtInfoMsg, qPrintable(logLine.contains(u"%1"_s) ? logLine.arg(message) : logLine));
    QTest::ignoreMessage(QtInfoMsg, "Closing MsgBox");

    bool inspected = false;
    QPointer<MsgBox> seen;
    inspectNextBox([&](MsgBox* box) {
        seen = box;
        inspected = true;
        QCOMPARE(MsgBox::openBoxes().size(), 1);
        QVERIFY(box->isModal());
        QCOMPARE(box->windowTitle(), u"Title"_s);
        QCOMPARE(child<QLabel>(box, "lblInfo")->text(), message);
        QCOMPARE(child(box, "lblImage")->isVisible(), image);
        QCOMPARE(child(box, "btnDetails")->isVisible(), details);
        // Of the title bar, a box shows only the close button.
        QVERIFY(child(box, "closeBtn")->isVisible() && !child(box, "minBtn")->isVisible());
        if (details) {
            QCOMPARE(child<QTextEdit>(box, "teDetails")->toPlainText(), u"Details"_s);
            QTest::mouseClick(child<QPushButton>(box, "btnDetails"), Qt::LeftButton);
            QTRY_COMPARE(child(box, "teDetails")->height(), 160);
        }
        checkAndSavePicture(box, QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-'));
    });
    show(message);
    QVERIFY(inspected);
    QVERIFY(seen.isNull());
}

// Reversing half way runs one animation back, not two at once.
void TestMsgBox::detailsAnimation()
{
    const auto box = shownBox();
    QVERIFY(box);
    auto* frame = child(box.get(), "frame");
    auto* teDetails = child(box.get(), "teDetails");
    auto* btnDetails = child<QPushButton>(box.get(), "btnDetails");
    auto* timer = box->findChild<QTimer*>(u"detailsTimer"_s);
    QVERIFY(timer);
    const int baseHeight = frame->height();
    QList<int> heights;
    const auto clickAndRecord = [&](bool click) {
        if (click)
            QTest::mouseClick(btnDetails, Qt::LeftButton);
        heights.append(teDetails->maximumHeight());
        QCOMPARE(frame->maximumHeight(), baseHeight + heights.last());
    };
    connect(timer, &QTimer::timeout, box.get(), [&] {
        clickAndRecord(false);
        if (heights.size() == 3)
            clickAndRecord(true);
    });
    clickAndRecord(true);
    QCOMPARE(btnDetails->text(), text("MsgBoxDetailsHide"));
    QTRY_VERIFY(heights.size() >= 6 && !timer->isActive());
    QCOMPARE(heights, QList<int>({18, 36, 54, 36, 18, 0}));
    QCOMPARE(btnDetails->text(), text("MsgBoxDetailsShow"));
    QCOMPARE(box->maximumHeight(), baseHeight);
}

void TestMsgBox::aboutDialog()
{
    const QString about = u"<b>Quillet Tray</b><br>Version 2.6.1<br>© Kestrum"_s;
    QTest::ignoreMessage(QtInfoMsg, qPrintable(u"Showing MsgInfo:  \"%1\""_s.arg(about)));
    QPointer<MsgBox> box = MsgBox::aboutDialog(nullptr, text("AppName"), about);
    QVERIFY(box);
    QCOMPARE(MsgBox::openBoxes(), QList<MsgBox*> {box.data()});
    QCOMPARE(box->windowModality(), Qt::NonModal);
    QCOMPARE(child<QLabel>(box, "lblInfo")->textFormat(), Qt::RichText);
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.data()));
    checkAndSavePicture(box, u"light-about"_s);

    // OK deletes the box later; should that come before its owner unregisters it, the
    // list must not keep the deleted box.
    QTest::mouseClick(child<QPushButton>(box, "btnOK"), Qt::LeftButton);
    QTRY_VERIFY(box.isNull());
    QVERIFY(MsgBox::openBoxes().isEmpty());
}

void TestMsgBox::appException_data()
{
    QTest::addColumn<QString>("general");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("shown");
    QTest::newRow("detail and general")
        << u"Socket failed"_s << u"Please try again."_s << u"Please try again."_s;
    QTest::newRow("general only") << u"Socket failed"_s << QString() << u"Socket failed"_s;
    QTest::newRow("neither") << QString() << QString() << text("GeneralExceptionMessage");
}

void TestMsgBox::appException()
{
    QFETCH(QString, general);
    QFETCH(QString, detail);
    QFETCH(QString, shown);
    AppException e = APP_EXCEPTION_CAUSED(general, APP_EXCEPTION(u"Root cause"_s, QString()), detail);
    QTest::ignoreMessage(QtInfoMsg, "Show AppException");
    QTest::ignoreMessage(QtInfoMsg, "Terminating:  FALSE");
    if (general.isEmpty())
        QTest::ignoreMessage(
            QtWarningMsg,
            "Missing detail message and general message in exception. Wrong usage of AppException!");
    QString visible;
    QString hidden;
    inspectNextBox([&](MsgBox* box) {
        visible = child<QLabel>(box, "lblInfo")->text();
        if (child(box, "btnDetails")->isVisible())
            hidden = child<QTextEdit>(box, "teDetails")->toPlainText();
    });
    MsgBox::showError(nullptr, u"Title"_s, e);
    QCOMPARE(visible, shown);
    QCOMPARE(hidden, detail.isEmpty() ? QString() : e.toString(true));
}

// The first box's title bar leads: dragging another box moves both. Its close button
// closes only its own box.
void TestMsgBox::dragMovesBoxes()
{
    const auto first = shownBox(QPoint(100, 100));
    const auto second = shownBox(QPoint(300, 300));
    QVERIFY(first && second);
    const QPoint firstStart = first->pos();
    const QPoint secondStart = second->pos();
    drag(first->findChild<TitleBar*>(), QPoint(20, 10), QPoint(30, 15));
    QTRY_COMPARE(first->pos(), firstStart + QPoint(10, 5));
    QCOMPARE(second->pos(), secondStart);

    drag(second->findChild<TitleBar*>(), QPoint(20, 10), QPoint(27, 4));
    QTRY_COMPARE(second->pos(), secondStart + QPoint(7, -6));
    QTRY_COMPARE(first->pos(), firstStart + QPoint(17, -1));
    QTest::mouseClick(second->findChild<QPushButton*>(u"closeBtn"_s), Qt::LeftButton);
    QVERIFY(!second->isVisible() && first->isVisible());
}

void TestMsgBox::edgeResize_data()
{
    QTest::addColumn<int>("x"); // from the frame's left side; negative: from its right side
    QTest::addColumn<int>("dx");
    QTest::addColumn<QMargins>("grown"); // left, top, right, bottom growth of the geometry
    QTest::newRow("right edge wider") << -2 << 40 << QMargins(0, 0, 40, 0);
    QTest::newRow("5 from the right edge") << -6 << 40 << QMargins(0, 0, 40, 0);
    QTest::newRow("left edge wider") << 1 << -30 << QMargins(30, 0, 0, 0);
    QTest::newRow("left edge below the minimum") << 1 << 30 << QMargins();
    QTest::newRow("6 from the left edge: no resize") << 6 << -30 << QMargins();
}

// A new box has its minimum width, so it can only grow.
void TestMsgBox::edgeResize()
{
    QFETCH(int, x);
    QFETCH(int, dx);
    QFETCH(QMargins, grown);
    const auto box = shownBox();
    QVERIFY(box);
    auto* frame = child(box.get(), "frame");
    const QRect start = box->geometry();
    QCOMPARE(start.width(), box->minimumWidth());
    const QPoint edge(x >= 0 ? x : frame->width() + x, frame->height() / 2);
    sendMouse(frame, QEvent::MouseMove, edge, Qt::NoButton);
    const bool atEdge = x < 6;
    QCOMPARE(frame->cursor().shape(), atEdge ? Qt::SizeHorCursor : Qt::ArrowCursor);
    drag(frame, edge, edge + QPoint(dx, 0));
    QTRY_COMPARE(box->geometry(), start + grown);
    sendMouse(frame, QEvent::MouseButtonRelease, edge + QPoint(dx, 0), Qt::NoButton);
    // Released: moving the pointer only updates the cursor.
    sendMouse(frame, QEvent::MouseMove, edge + QPoint(2 * dx, 0), Qt::NoButton);
    QCOMPARE(box->geometry(), start + grown);

    // Moving on into the window restores the arrow.
    sendMouse(frame, QEvent::MouseMove, QPoint(1, edge.y()), Qt::NoButton);
    auto* inside = child(box.get(), "mainWindowWidget");
    QEnterEvent enter(QPointF(20, 20), QPointF(20, 20), inside->mapToGlobal(QPointF(20, 20)));
    QCoreApplication::sendEvent(inside, &enter);
    QCOMPARE(frame->cursor().shape(), Qt::ArrowCursor);
}

// Once the tray is going away, every show function only logs. Closing the open boxes is
// checked in tst_quillettray, where the tray's destruction does it.
void TestMsgBox::terminatingShowsNothing()
{
    MsgBox::setTerminating(true);
    const auto reset = qScopeGuard([] { MsgBox::setTerminating(false); });
    for (const char* line : {"Showing error with message:  \"Late\"", "Showing Success:  \"Late\"",
                             "Showing Info:  \"Late\"", "Showing error with hidden message:  \"Late\"",
                             "Showing MsgInfo:  \"Late\"", "Show AppException", "Terminating:  TRUE"})
        QTest::ignoreMessage(QtInfoMsg, line);
    QTest::failOnWarning(QRegularExpression(u".*"_s));
    MsgBox::showError(nullptr, u"T"_s, u"Late"_s);
    MsgBox::showSuccess(nullptr, u"T"_s, u"Late"_s);
    MsgBox::showInfoWithoutIcon(nullptr, u"T"_s, u"Late"_s);
    MsgBox::showErrorWithDetail(nullptr, u"T"_s, u"M"_s, u"Late"_s);
    QCOMPARE(MsgBox::aboutDialog(nullptr, u"T"_s, u"Late"_s), nullptr);
    AppException empty = APP_EXCEPTION(QString(), QString());
    MsgBox::showError(nullptr, u"T"_s, empty);
    for (QWidget* widget : QApplication::topLevelWidgets())
        QVERIFY(!qobject_cast<MsgBox*>(widget));
}

QTEST_MAIN(TestMsgBox)
#include "tst_msgbox.moc"
