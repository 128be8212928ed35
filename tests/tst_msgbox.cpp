#include "appexception.h"
#include "msgbox.h"
#include "quilletproperties.h"
#include "titlebar.h"

#include <functional>
#include <memory>
#include <QDir>
#include <QFrame>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextEdit>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

namespace {
using ShowFunction = std::function<void(const QString& title, const QString& message)>;

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
        const QList<MsgBox*> boxes = MsgBox::openBoxes();
        if (boxes.isEmpty())
            return;
        check(boxes.last());
        QTest::mouseClick(child<QPushButton>(boxes.last(), "btnOK"), Qt::LeftButton);
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

std::unique_ptr<MsgBox> makeBox(int icon, bool details, const QString& message = QStringLiteral("Message"))
{
    return std::make_unique<MsgBox>(nullptr, message, QStringLiteral("Title"), icon, details);
}

std::unique_ptr<MsgBox> shownBox(int icon, const QPoint& at = QPoint(200, 200))
{
    auto box = makeBox(icon, false);
    box->move(at);
    box->show();
    if (!QTest::qWaitForWindowExposed(box.get()))
        return nullptr;
    return box;
}
} // namespace

Q_DECLARE_METATYPE(ShowFunction)

class TestMsgBox : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void widgetTree_data();
    void widgetTree();
    void detailsButton_data();
    void detailsButton();
    void detailsAnimation();
    void showFunctions_data();
    void showFunctions();
    void aboutDialog();
    void appException_data();
    void appException();
    void dragMovesBoxes();
    void resizeCursor_data();
    void resizeCursor();
    void edgeResize_data();
    void edgeResize();
    void pictures_data();
    void pictures();
    void terminatingClosesAll();

private:
    QTranslator translator;
};

void TestMsgBox::initTestCase()
{
    QVERIFY(translator.load(QStringLiteral("QuilletTray_en"), QStringLiteral(QUILLET_QM_DIR)));
    QVERIFY(QCoreApplication::installTranslator(&translator));
    QuilletProperties::instance();
}

void TestMsgBox::cleanup()
{
    QVERIFY(MsgBox::openBoxes().isEmpty());
}

void TestMsgBox::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    const char* const rows[][3] = {
        {"frame", "QFrame", "MsgBox"},
        {"mainWindowWidget", "QWidget", "frame"},
        {"contentWidget", "QWidget", "mainWindowWidget"},
        {"widgetTop", "QWidget", "contentWidget"},
        {"lblImage", "QLabel", "widgetTop"},
        {"saInfo", "QScrollArea", "widgetTop"},
        {"saWidgetContents", "QWidget", "qt_scrollarea_viewport"},
        {"lblInfo", "QLabel", "saWidgetContents"},
        {"btnOK", "QPushButton", "contentWidget"},
        {"btnDetails", "QPushButton", "contentWidget"},
        {"teDetails", "QTextEdit", "contentWidget"},
        {"MsgBoxLayout", "QVBoxLayout", "MsgBox"},
        {"verticalLayout", "QVBoxLayout", "frame"},
        {"verticalLayout_2", "QVBoxLayout", "mainWindowWidget"},
        {"titleBarLayout", "QHBoxLayout", "verticalLayout_2"},
        {"verticalLayout_3", "QVBoxLayout", "contentWidget"},
        {"widgetTopLayout", "QHBoxLayout", "widgetTop"},
        {"saWidgetContentsLayout", "QVBoxLayout", "saWidgetContents"},
        {"middleLayout", "QHBoxLayout", "verticalLayout_3"},
    };
    for (const auto& row : rows)
        QTest::newRow(row[0]) << row[0] << row[1] << row[2];
}

void TestMsgBox::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    const auto box = makeBox(MsgBox::IconError, true);
    QCOMPARE(box->objectName(), QStringLiteral("MsgBox"));
    QObject* object = box->findChild<QObject*>(name);
    QVERIFY2(object, qPrintable(name));
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    QCOMPARE(object->parent()->objectName(), parentName);
}

void TestMsgBox::detailsButton_data()
{
    QTest::addColumn<bool>("available");
    QTest::newRow("with details") << true;
    QTest::newRow("without details") << false;
}

void TestMsgBox::detailsButton()
{
    QFETCH(bool, available);
    const auto box = makeBox(MsgBox::IconError, available);
    auto* btnDetails = child(box.get(), "btnDetails");
    QCOMPARE(btnDetails->isVisibleTo(box.get()), available);
    box->setDetailsAvailable(!available);
    QCOMPARE(btnDetails->isVisibleTo(box.get()), !available);
    // Of the title bar, a box shows only the close button.
    for (const char* part : {"iconLbl", "centerInfo", "minBtn", "maxBtn", "closeBtn"})
        QCOMPARE(child(box.get(), part)->isVisibleTo(box.get()), part == QByteArray("closeBtn"));
}

void TestMsgBox::detailsAnimation()
{
    const auto box = makeBox(MsgBox::IconError, true);
    box->setDetails(QStringLiteral("AppException: detail"));
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    auto* frame = child(box.get(), "frame");
    auto* teDetails = child(box.get(), "teDetails");
    auto* btnDetails = child<QPushButton>(box.get(), "btnDetails");
    auto* timer = box->findChild<QTimer*>(QStringLiteral("detailsTimer"));
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 30);
    const int baseHeight = frame->height();

    QList<int> heights;
    bool frameFollows = true;
    const auto record = [&] {
        heights.append(teDetails->maximumHeight());
        frameFollows = frameFollows && frame->maximumHeight() == baseHeight + teDetails->maximumHeight();
    };
    connect(timer, &QTimer::timeout, box.get(), record);
    const auto click = [&] {
        QTest::mouseClick(btnDetails, Qt::LeftButton);
        record();
    };

    click();
    QCOMPARE(btnDetails->text(), text("MsgBoxDetailsHide"));
    QTRY_COMPARE(heights.size(), 9);
    QCOMPARE(heights, QList<int>({18, 36, 54, 72, 90, 108, 126, 144, 160}));
    QVERIFY(frameFollows);
    QTRY_COMPARE(teDetails->height(), 160);

    heights.clear();
    click();
    QCOMPARE(btnDetails->text(), text("MsgBoxDetailsShow"));
    QTRY_COMPARE(heights.size(), 9);
    QCOMPARE(heights, QList<int>({142, 124, 106, 88, 70, 52, 34, 16, 0}));
    QVERIFY(frameFollows);
    QCOMPARE(box->maximumHeight(), baseHeight);

    // Reversing half way runs one animation back, not two at once.
    heights.clear();
    connect(timer, &QTimer::timeout, box.get(), [&] {
        if (heights.size() == 3)
            click();
    });
    click();
    QTRY_COMPARE(heights.size(), 6);
    QTRY_VERIFY(!timer->isActive());
    QCOMPARE(heights, QList<int>({18, 36, 54, 36, 18, 0}));
}

void TestMsgBox::showFunctions_data()
{
    QTest::addColumn<ShowFunction>("show");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<bool>("image");
    QTest::addColumn<bool>("details");
    QTest::addColumn<QString>("okStyle");
    QTest::newRow("error") << ShowFunction([](auto& t, auto& m) { MsgBox::showError(nullptr, t, m); })
                           << "Showing error with message:  \"Text\"" << true << false << "";
    QTest::newRow("error with detail") << ShowFunction([](auto& t, auto& m) {
        MsgBox::showErrorWithDetail(nullptr, t, m, QStringLiteral("Details"));
    }) << "Showing error with hidden message:  \"Details\""
                                       << true << true << "";
    QTest::newRow("success") << ShowFunction([](auto& t, auto& m) { MsgBox::showSuccess(nullptr, t, m); })
                             << "Showing Success:  \"Text\"" << true << false << "";
    QTest::newRow("info without icon")
        << ShowFunction([](auto& t, auto& m) { MsgBox::showInfoWithoutIcon(nullptr, t, m); })
        << "Showing Info:  \"Text\"" << false << false
        << "background-color: rgb(240,240,240); color: rgb(110,110,110);";
}

void TestMsgBox::showFunctions()
{
    QFETCH(ShowFunction, show);
    QFETCH(QString, logLine);
    QFETCH(bool, image);
    QFETCH(bool, details);
    QFETCH(QString, okStyle);
    const QString title = QStringLiteral("Title");
    const QString message = QStringLiteral("Text");
    QTest::ignoreMessage(QtInfoMsg, qPrintable(logLine));
    QTest::ignoreMessage(QtInfoMsg, "Closing MsgBox");

    QPointer<MsgBox> seen;
    int openCount = 0;
    inspectNextBox([&](MsgBox* box) {
        seen = box;
        openCount = int(MsgBox::openBoxes().size());
        QVERIFY(box->isModal());
        QCOMPARE(box->windowTitle(), title);
        QCOMPARE(child<QLabel>(box, "lblInfo")->text(), message);
        QCOMPARE(child(box, "lblImage")->isVisible(), image);
        QCOMPARE(child(box, "btnDetails")->isVisible(), details);
        if (details)
            QCOMPARE(child<QTextEdit>(box, "teDetails")->toPlainText(), QStringLiteral("Details"));
        QCOMPARE(child(box, "btnOK")->styleSheet(), okStyle);
    });
    show(title, message);
    QCOMPARE(openCount, 1);
    // The show function disposes of its box and unregisters it.
    QVERIFY(seen.isNull());
}

void TestMsgBox::aboutDialog()
{
    QTest::ignoreMessage(QtInfoMsg, "Showing MsgInfo:  \"<b>Quillet</b> 2.6.1\"");
    QPointer<MsgBox> box
        = MsgBox::aboutDialog(nullptr, QStringLiteral("About"), QStringLiteral("<b>Quillet</b> 2.6.1"));
    QVERIFY(box);
    QCOMPARE(MsgBox::openBoxes(), QList<MsgBox*> {box.data()});
    QCOMPARE(box->windowModality(), Qt::NonModal);
    QCOMPARE(child<QLabel>(box, "lblInfo")->textFormat(), Qt::RichText);
    QVERIFY(!child(box, "btnDetails")->isVisibleTo(box));

    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.data()));
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
    QTest::newRow("detail and general") << "Socket failed"
                                        << "Please try again."
                                        << "Please try again.";
    QTest::newRow("general only") << "Socket failed"
                                  << ""
                                  << "Socket failed";
    QTest::newRow("neither") << ""
                             << "" << text("GeneralExceptionMessage");
}

void TestMsgBox::appException()
{
    QFETCH(QString, general);
    QFETCH(QString, detail);
    QFETCH(QString, shown);
    const bool details = !detail.isEmpty();
    AppException e
        = APP_EXCEPTION_CAUSED(general, APP_EXCEPTION(QStringLiteral("Root cause"), QString()), detail);

    QTest::ignoreMessage(QtInfoMsg, "Show AppException");
    QTest::ignoreMessage(QtInfoMsg, "Terminating:  FALSE");
    if (general.isEmpty())
        QTest::ignoreMessage(
            QtWarningMsg,
            "Missing detail message and general message in exception. Wrong usage of AppException!");
    QString visible;
    QString hidden;
    bool detailsShown = false;
    inspectNextBox([&](MsgBox* box) {
        visible = child<QLabel>(box, "lblInfo")->text();
        hidden = child<QTextEdit>(box, "teDetails")->toPlainText();
        detailsShown = child(box, "btnDetails")->isVisible();
    });
    MsgBox::showError(nullptr, QStringLiteral("Title"), e);
    QCOMPARE(visible, shown);
    QCOMPARE(detailsShown, details);
    if (details) {
        QCOMPARE(hidden, e.toString(true));
        QVERIFY(hidden.contains(QStringLiteral("Root cause")));
    }
}

// The first box's title bar leads: dragging another box moves both.
void TestMsgBox::dragMovesBoxes()
{
    const auto first = shownBox(MsgBox::IconSuccess, QPoint(100, 100));
    const auto second = shownBox(MsgBox::IconError, QPoint(300, 300));
    QVERIFY(first && second);
    const QPoint firstStart = first->pos();
    const QPoint secondStart = second->pos();
    auto* titleBar = first->findChild<TitleBar*>();
    QSignalSpy spy(titleBar, &TitleBar::moveVectorEvent);
    drag(titleBar, QPoint(20, 10), QPoint(30, 15));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).value<QVector2D>(), QVector2D(-10, -5));
    QTRY_COMPARE(first->pos(), firstStart + QPoint(10, 5));
    QCOMPARE(second->pos(), secondStart);

    drag(second->findChild<TitleBar*>(), QPoint(20, 10), QPoint(27, 4));
    QTRY_COMPARE(second->pos(), secondStart + QPoint(7, -6));
    QTRY_COMPARE(first->pos(), firstStart + QPoint(17, -1));
}

void TestMsgBox::resizeCursor_data()
{
    QTest::addColumn<int>("fromLeft");
    QTest::addColumn<int>("fromRight");
    QTest::addColumn<bool>("resize");
    QTest::newRow("5 from left") << 5 << -1 << true;
    QTest::newRow("6 from left") << 6 << -1 << false;
    QTest::newRow("5 from right") << -1 << 5 << true;
    QTest::newRow("6 from right") << -1 << 6 << false;
}

void TestMsgBox::resizeCursor()
{
    QFETCH(int, fromLeft);
    QFETCH(int, fromRight);
    QFETCH(bool, resize);
    const auto box = shownBox(MsgBox::IconError);
    QVERIFY(box);
    auto* frame = child(box.get(), "frame");
    const int x = fromLeft >= 0 ? fromLeft : frame->width() - 1 - fromRight;
    sendMouse(frame, QEvent::MouseMove, QPoint(x, frame->height() / 2), Qt::NoButton);
    QCOMPARE(frame->cursor().shape(), resize ? Qt::SizeHorCursor : Qt::ArrowCursor);

    // Moving on into the window restores the arrow.
    auto* inside = child(box.get(), "mainWindowWidget");
    QEnterEvent enter(QPointF(20, 20), QPointF(20, 20), inside->mapToGlobal(QPointF(20, 20)));
    QCoreApplication::sendEvent(inside, &enter);
    QCOMPARE(frame->cursor().shape(), Qt::ArrowCursor);
}

void TestMsgBox::edgeResize_data()
{
    QTest::addColumn<bool>("rightEdge");
    QTest::addColumn<int>("dx");
    QTest::addColumn<QMargins>("grown"); // left, top, right, bottom growth of the geometry
    QTest::newRow("right edge wider") << true << 40 << QMargins(0, 0, 40, 0);
    QTest::newRow("left edge wider") << false << -30 << QMargins(30, 0, 0, 0);
    QTest::newRow("left edge below the minimum") << false << 30 << QMargins();
}

// A new box has its minimum width, so it can only grow.
void TestMsgBox::edgeResize()
{
    QFETCH(bool, rightEdge);
    QFETCH(int, dx);
    QFETCH(QMargins, grown);
    const auto box = shownBox(MsgBox::IconError);
    QVERIFY(box);
    auto* frame = child(box.get(), "frame");
    const QRect start = box->geometry();
    QCOMPARE(start.width(), box->minimumWidth());
    const QPoint edge(rightEdge ? frame->width() - 2 : 1, frame->height() / 2);
    sendMouse(frame, QEvent::MouseMove, edge, Qt::NoButton);
    drag(frame, edge, edge + QPoint(dx, 0));
    QTRY_COMPARE(box->geometry(), start + grown);
    sendMouse(frame, QEvent::MouseButtonRelease, edge + QPoint(dx, 0), Qt::NoButton);
    // Released: moving the pointer only updates the cursor.
    sendMouse(frame, QEvent::MouseMove, edge + QPoint(2 * dx, 0), Qt::NoButton);
    QCOMPARE(box->geometry(), start + grown);
}

void TestMsgBox::pictures_data()
{
    QTest::addColumn<QString>("theme");
    QTest::addColumn<QString>("kind");
    for (const char* theme : {"light", "dark"}) {
        for (const char* kind : {"error", "error-details", "success", "info", "about"})
            QTest::addRow("%s %s", theme, kind) << theme << kind;
    }
}

// Saves a picture of each kind of box for people to look at, and checks what a broken
// style sheet would spoil.
void TestMsgBox::pictures()
{
    QFETCH(QString, theme);
    QFETCH(QString, kind);
    QuilletProperties* properties = QuilletProperties::instance();
    properties->setTheme(theme);
    properties->applyDefaultStyleSheet();
    const auto restoreLight = qScopeGuard([properties] {
        properties->setTheme(QStringLiteral("light"));
        properties->applyDefaultStyleSheet();
    });

    std::unique_ptr<MsgBox> box;
    if (kind.startsWith(QLatin1String("error"))) {
        const bool details = kind == QLatin1String("error-details");
        box = makeBox(
            MsgBox::IconError, details,
            QStringLiteral("The signer could not be started. Please try again, and contact support if "
                           "the problem persists."));
        const AppException cause = APP_EXCEPTION(QStringLiteral("Process failed to start"), QString());
        box->setDetails(
            APP_EXCEPTION_CAUSED(QStringLiteral("Unable to start Quillet"), cause, QString()).toString(true));
    } else if (kind == QLatin1String("success")) {
        box = makeBox(MsgBox::IconSuccess, false,
                      QStringLiteral("Quillet Tray will now start with your desktop."));
    } else if (kind == QLatin1String("info")) {
        box = makeBox(MsgBox::IconNone, false, QStringLiteral("Quillet Tray is already running."));
        child(box.get(), "btnOK")
            ->setStyleSheet(QStringLiteral("background-color: rgb(240,240,240); color: rgb(110,110,110);"));
    } else {
        box.reset(MsgBox::aboutDialog(nullptr, text("AppName"),
                                      QStringLiteral("<b>Quillet Tray</b><br>Version 2.6.1<br>© Kestrum")));
        MsgBox::unregisterMsgBox(box.get());
    }
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    if (kind == QLatin1String("error-details")) {
        QTest::mouseClick(child<QPushButton>(box.get(), "btnDetails"), Qt::LeftButton);
        QTRY_COMPARE(child(box.get(), "teDetails")->height(), 160);
    }

    const QImage shot = box->grab().toImage();
    // The shadow margin is see-through at the outer edge and the window opaque inside.
    const int midY = shot.height() / 2;
    QVERIFY(shot.pixelColor(0, midY).alpha() < 40);
    QVERIFY(shot.pixelColor(7, midY).alpha() > shot.pixelColor(2, midY).alpha());
    QCOMPARE(shot.pixelColor(8, midY).alpha(), 255);
    // The message fits without scrolling.
    auto* lblInfo = child<QLabel>(box.get(), "lblInfo");
    QVERIFY(lblInfo->heightForWidth(lblInfo->width()) <= lblInfo->height());

    // A backdrop like a desktop shows the shadow in the saved picture.
    QImage picture(shot.size() + QSize(48, 48), QImage::Format_ARGB32);
    picture.fill(theme == QLatin1String("light") ? QColor(226, 230, 234) : QColor(70, 74, 80));
    QPainter painter(&picture);
    painter.drawImage(24, 24, shot);
    painter.end();
    const QString dir = QStringLiteral(QUILLET_BUILD_DIR "/screenshots");
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(picture.save(dir + QStringLiteral("/%1-%2.png").arg(theme, kind)));
}

// Last: it leaves the process terminating until it resets the flag.
void TestMsgBox::terminatingClosesAll()
{
    QPointer<MsgBox> first;
    QPointer<MsgBox> second;
    int openWhileNested = 0;
    bool secondReturned = false;
    QTimer::singleShot(0, [&] {
        first = MsgBox::openBoxes().value(0);
        QTimer::singleShot(0, [&] {
            second = MsgBox::openBoxes().value(1);
            openWhileNested = int(MsgBox::openBoxes().size());
            MsgBox::setTerminating(true);
        });
        MsgBox::showSuccess(nullptr, QStringLiteral("Second"), QStringLiteral("Waiting"));
        secondReturned = true;
    });
    MsgBox::showError(nullptr, QStringLiteral("First"), QStringLiteral("Waiting"));
    QCOMPARE(openWhileNested, 2);
    QVERIFY(secondReturned);
    QVERIFY(first.isNull() && second.isNull());

    // While terminating, every show function only logs.
    for (const char* line : {"Showing error with message:  \"Late\"", "Showing Success:  \"Late\"",
                             "Showing Info:  \"Late\"", "Showing error with hidden message:  \"Late\"",
                             "Showing MsgInfo:  \"Late\"", "Show AppException", "Terminating:  TRUE"})
        QTest::ignoreMessage(QtInfoMsg, line);
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    MsgBox::showError(nullptr, QStringLiteral("T"), QStringLiteral("Late"));
    MsgBox::showSuccess(nullptr, QStringLiteral("T"), QStringLiteral("Late"));
    MsgBox::showInfoWithoutIcon(nullptr, QStringLiteral("T"), QStringLiteral("Late"));
    MsgBox::showErrorWithDetail(nullptr, QStringLiteral("T"), QStringLiteral("M"), QStringLiteral("Late"));
    QCOMPARE(MsgBox::aboutDialog(nullptr, QStringLiteral("T"), QStringLiteral("Late")), nullptr);
    AppException empty = APP_EXCEPTION(QString(), QString());
    MsgBox::showError(nullptr, QStringLiteral("T"), empty);
    for (QWidget* widget : QApplication::topLevelWidgets())
        QVERIFY(!qobject_cast<MsgBox*>(widget));
    MsgBox::setTerminating(false);
}

QTEST_MAIN(TestMsgBox)
#include "tst_msgbox.moc"
