#include "appexception.h"
#include "msgbox.h"
#include "quilletproperties.h"
#include "titlebar.h"

#include <functional>
#include <memory>
#include <QAbstractScrollArea>
#include <QBoxLayout>
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
enum class Show
{
    Error,
    ErrorWithDetail,
    Success,
    InfoWithoutIcon
};

template <typename T> T* child(QWidget* box, const char* name)
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
        MsgBox* box = boxes.last();
        check(box);
        QTest::mouseClick(child<QPushButton>(box, "btnOK"), Qt::LeftButton);
    });
}

void sendMouse(QWidget* target, QEvent::Type type, const QPoint& local, Qt::MouseButton button,
               Qt::MouseButtons buttons)
{
    QMouseEvent event(type, local, target->mapToGlobal(local), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

std::unique_ptr<MsgBox> makeBox(int icon, bool details, const QString& message = QStringLiteral("Message"))
{
    return std::make_unique<MsgBox>(nullptr, message, QStringLiteral("Title"), icon, details);
}
} // namespace

class TestMsgBox : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void widgetTree_data();
    void widgetTree();
    void layouts_data();
    void layouts();
    void windowKind();
    void detailsButton_data();
    void detailsButton();
    void iconKinds_data();
    void iconKinds();
    void detailsAnimation();
    void showFunctions_data();
    void showFunctions();
    void aboutDialog();
    void appException_data();
    void appException();
    void dragMovesBox();
    void dragSecondBoxMovesBoth();
    void resizeCursor_data();
    void resizeCursor();
    void edgeResize();
    void escapeAndTitleBarClose_data();
    void escapeAndTitleBarClose();
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
    QVERIFY(text("MsgBoxDetailsHide") != QLatin1String("MsgBoxDetailsHide"));
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

void TestMsgBox::layouts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QMargins>("margins");
    QTest::addColumn<int>("spacing");
    QTest::newRow("MsgBoxLayout") << "MsgBoxLayout" << QMargins() << 0;
    QTest::newRow("verticalLayout") << "verticalLayout" << QMargins() << 0;
    QTest::newRow("verticalLayout_2") << "verticalLayout_2" << QMargins() << 0;
    QTest::newRow("verticalLayout_3") << "verticalLayout_3" << QMargins(10, 10, 20, 10) << 0;
    QTest::newRow("widgetTopLayout") << "widgetTopLayout" << QMargins(50, 0, 5, 0) << -1;
    QTest::newRow("middleLayout") << "middleLayout" << QMargins(0, 25, 0, 10) << 15;
}

void TestMsgBox::layouts()
{
    QFETCH(QString, name);
    QFETCH(QMargins, margins);
    QFETCH(int, spacing);
    const auto box = makeBox(MsgBox::IconError, true);
    auto* layout = box->findChild<QBoxLayout*>(name);
    QVERIFY(layout);
    if (name == QLatin1String("middleLayout")) {
        // Only the top and bottom margins are set; the sides follow the style.
        QCOMPARE(layout->contentsMargins().top(), margins.top());
        QCOMPARE(layout->contentsMargins().bottom(), margins.bottom());
    } else {
        QCOMPARE(layout->contentsMargins(), margins);
    }
    if (spacing >= 0)
        QCOMPARE(layout->spacing(), spacing);
    if (name == QLatin1String("widgetTopLayout")) {
        QCOMPARE(layout->stretch(0), 1);
        QCOMPARE(layout->stretch(1), 6);
    }
}

void TestMsgBox::windowKind()
{
    const auto box = makeBox(MsgBox::IconError, true);
    QCOMPARE(box->windowModality(), Qt::ApplicationModal);
    QVERIFY(box->windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(!box->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
    QVERIFY(box->testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(box->property("global_background"), QVariant(true));
    QCOMPARE(child<QWidget>(box.get(), "saWidgetContents")->property("global_background"), QVariant(true));
    QCOMPARE(child<QWidget>(box.get(), "frame")->layout()->itemAt(0)->widget()->objectName(),
             QStringLiteral("mainWindowWidget"));

    auto* lblInfo = child<QLabel>(box.get(), "lblInfo");
    QCOMPARE(lblInfo->textFormat(), Qt::PlainText);
    QVERIFY(lblInfo->wordWrap());
    QCOMPARE(lblInfo->property("cascade"), QVariant(QStringLiteral("3")));

    auto* btnOK = child<QPushButton>(box.get(), "btnOK");
    QCOMPARE(btnOK->text(), QStringLiteral("OK"));
    QVERIFY(btnOK->isDefault());
    QVERIFY(!btnOK->autoDefault());
    QCOMPARE(btnOK->accessibleDescription(), QStringLiteral("hint"));
    QCOMPARE(btnOK->cursor().shape(), Qt::PointingHandCursor);
    auto* btnDetails = child<QPushButton>(box.get(), "btnDetails");
    QVERIFY(!btnDetails->autoDefault());
    QCOMPARE(btnDetails->iconSize(), QSize(12, 12));
    QVERIFY(!btnDetails->icon().isNull());

    auto* teDetails = child<QTextEdit>(box.get(), "teDetails");
    QVERIFY(teDetails->isReadOnly());
    QCOMPARE(teDetails->property("cascade"), QVariant(QStringLiteral("3")));
    QCOMPARE(teDetails->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(teDetails->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(teDetails->maximumHeight(), 0);
    QVERIFY(teDetails->graphicsEffect());

    // Only the close button of the title bar is shown.
    auto* titleBar = box->findChild<TitleBar*>();
    QVERIFY(titleBar);
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    QVERIFY(child<QWidget>(titleBar, "closeBtn")->isVisible());
    for (const char* hidden : {"iconLbl", "centerInfo", "minBtn", "maxBtn"})
        QVERIFY2(!child<QWidget>(titleBar, hidden)->isVisible(), hidden);
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
    auto* btnDetails = child<QPushButton>(box.get(), "btnDetails");
    QCOMPARE(btnDetails->isVisibleTo(box.get()), available);
    QCOMPARE(btnDetails->text(), text("MsgBoxDetailsShow"));
    box->setDetailsAvailable(!available);
    QCOMPARE(btnDetails->isVisibleTo(box.get()), !available);
}

void TestMsgBox::iconKinds_data()
{
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("picture");
    QTest::addColumn<QSize>("size");
    QTest::newRow("success") << int(MsgBox::IconSuccess) << "/msgSuccess" << QSize(48, 48);
    QTest::newRow("error") << int(MsgBox::IconError) << "/msgError" << QSize(48, 48);
    QTest::newRow("application") << int(MsgBox::IconApplication) << "/ico" << QSize(64, 64);
    QTest::newRow("none") << int(MsgBox::IconNone) << "" << QSize();
}

void TestMsgBox::iconKinds()
{
    QFETCH(int, icon);
    QFETCH(QString, picture);
    QFETCH(QSize, size);
    const auto box = makeBox(icon, false);
    auto* lblImage = child<QLabel>(box.get(), "lblImage");
    QCOMPARE(lblImage->alignment(), Qt::AlignCenter);
    if (picture.isEmpty()) {
        QVERIFY(!lblImage->isVisibleTo(box.get()));
        return;
    }
    QVERIFY(lblImage->isVisibleTo(box.get()));
    const QImage shown = lblImage->pixmap().toImage();
    QCOMPARE(shown.size(), size);
    QImageReader reader(QuilletProperties::instance()->themePath() + picture);
    if (icon == MsgBox::IconApplication)
        reader.jumpToImage(1);
    QCOMPARE(shown.convertToFormat(QImage::Format_ARGB32),
             reader.read().convertToFormat(QImage::Format_ARGB32));
}

void TestMsgBox::detailsAnimation()
{
    const auto box = makeBox(MsgBox::IconError, true);
    box->setDetails(QStringLiteral("AppException: detail"));
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    auto* frame = child<QFrame>(box.get(), "frame");
    auto* teDetails = child<QTextEdit>(box.get(), "teDetails");
    auto* btnDetails = child<QPushButton>(box.get(), "btnDetails");
    auto* timer = child<QTimer>(box.get(), "detailsTimer");
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 30);
    QVERIFY(timer->isSingleShot());
    const int baseHeight = frame->height();
    QCOMPARE(box->height(), baseHeight);

    QList<int> heights;
    bool frameFollows = true;
    const auto record = [&] {
        heights.append(teDetails->maximumHeight());
        frameFollows = frameFollows && frame->maximumHeight() == baseHeight + teDetails->maximumHeight();
    };
    connect(timer, &QTimer::timeout, box.get(), record);

    QTest::mouseClick(btnDetails, Qt::LeftButton);
    record();
    QCOMPARE(btnDetails->text(), text("MsgBoxDetailsHide"));
    QTRY_COMPARE(heights.size(), 9);
    QCOMPARE(heights, QList<int>({18, 36, 54, 72, 90, 108, 126, 144, 160}));
    QVERIFY(!timer->isActive());
    QVERIFY(frameFollows);
    QVERIFY(box->height() >= baseHeight + 160);
    QTRY_COMPARE(teDetails->height(), 160);

    heights.clear();
    QTest::mouseClick(btnDetails, Qt::LeftButton);
    record();
    QCOMPARE(btnDetails->text(), text("MsgBoxDetailsShow"));
    QTRY_COMPARE(heights.size(), 9);
    QCOMPARE(heights, QList<int>({142, 124, 106, 88, 70, 52, 34, 16, 0}));
    QVERIFY(!timer->isActive());
    QVERIFY(frameFollows);
    QCOMPARE(box->maximumHeight(), baseHeight);

    // Reversing half way runs one animation back, not two at once.
    heights.clear();
    connect(timer, &QTimer::timeout, box.get(), [&] {
        if (heights.size() == 3) {
            QTest::mouseClick(btnDetails, Qt::LeftButton);
            record();
        }
    });
    QTest::mouseClick(btnDetails, Qt::LeftButton);
    record();
    QTRY_COMPARE(heights.size(), 6);
    QTRY_VERIFY(!timer->isActive());
    QCOMPARE(heights, QList<int>({18, 36, 54, 36, 18, 0}));
}

void TestMsgBox::showFunctions_data()
{
    QTest::addColumn<int>("function");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<bool>("image");
    QTest::addColumn<bool>("details");
    QTest::addColumn<QString>("okStyle");
    QTest::newRow("error") << int(Show::Error) << "Showing error with message:  \"Text\"" << true << false
                           << "";
    QTest::newRow("error with detail")
        << int(Show::ErrorWithDetail) << "Showing error with hidden message:  \"Details\"" << true << true
        << "";
    QTest::newRow("success") << int(Show::Success) << "Showing Success:  \"Text\"" << true << false << "";
    QTest::newRow("info without icon")
        << int(Show::InfoWithoutIcon) << "Showing Info:  \"Text\"" << false << false
        << "background-color: rgb(240,240,240); color: rgb(110,110,110);";
}

void TestMsgBox::showFunctions()
{
    QFETCH(int, function);
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
        QVERIFY(box->isVisible());
        QVERIFY(box->isModal());
        QCOMPARE(box->windowTitle(), title);
        QCOMPARE(child<QLabel>(box, "lblInfo")->text(), message);
        QCOMPARE(child<QWidget>(box, "lblImage")->isVisible(), image);
        QCOMPARE(child<QWidget>(box, "btnDetails")->isVisible(), details);
        if (details)
            QCOMPARE(child<QTextEdit>(box, "teDetails")->toPlainText(), QStringLiteral("Details"));
        QCOMPARE(child<QWidget>(box, "btnOK")->styleSheet(), okStyle);
    });
    switch (Show(function)) {
    case Show::Error:
        MsgBox::showError(nullptr, title, message);
        break;
    case Show::ErrorWithDetail:
        MsgBox::showErrorWithDetail(nullptr, title, message, QStringLiteral("Details"));
        break;
    case Show::Success:
        MsgBox::showSuccess(nullptr, title, message);
        break;
    case Show::InfoWithoutIcon:
        MsgBox::showInfoWithoutIcon(nullptr, title, message);
        break;
    }
    QCOMPARE(openCount, 1);
    // The show function disposes of its box and unregisters it.
    QVERIFY(seen.isNull());
    QVERIFY(MsgBox::openBoxes().isEmpty());
}

void TestMsgBox::aboutDialog()
{
    QTest::ignoreMessage(QtInfoMsg, "Showing MsgInfo:  \"<b>Quillet</b> 2.6.1\"");
    QPointer<MsgBox> box
        = MsgBox::aboutDialog(nullptr, QStringLiteral("About"), QStringLiteral("<b>Quillet</b> 2.6.1"));
    QVERIFY(box);
    QCOMPARE(MsgBox::openBoxes(), QList<MsgBox*> {box.data()});
    QVERIFY(!box->isVisible());
    QCOMPARE(box->windowModality(), Qt::NonModal);
    QCOMPARE(child<QLabel>(box, "lblInfo")->textFormat(), Qt::RichText);
    QVERIFY(child<QWidget>(box, "lblImage")->isVisibleTo(box));
    QVERIFY(!child<QWidget>(box, "btnDetails")->isVisibleTo(box));

    box->show();
    box->bringToFront();
    QVERIFY(QTest::qWaitForWindowExposed(box.data()));
    QSignalSpy finished(box.data(), &QDialog::finished);
    // OK closes the box and schedules its deletion; should that deletion come before
    // the owner unregisters it, the list must not keep the deleted box.
    QTest::mouseClick(child<QPushButton>(box, "btnOK"), Qt::LeftButton);
    QCOMPARE(finished.size(), 1);
    QVERIFY(!box->isVisible());
    QTRY_VERIFY(box.isNull());
    QVERIFY(MsgBox::openBoxes().isEmpty());
    MsgBox::setTerminating(true);
    MsgBox::setTerminating(false);
}

void TestMsgBox::appException_data()
{
    QTest::addColumn<QString>("general");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("details");
    QTest::newRow("detail and general") << "Socket failed"
                                        << "Please try again."
                                        << "Please try again." << true;
    QTest::newRow("general only") << "Socket failed"
                                  << ""
                                  << "Socket failed" << false;
    QTest::newRow("neither") << ""
                             << "" << text("GeneralExceptionMessage") << false;
}

void TestMsgBox::appException()
{
    QFETCH(QString, general);
    QFETCH(QString, detail);
    QFETCH(QString, shown);
    QFETCH(bool, details);
    const AppException cause = APP_EXCEPTION(QStringLiteral("Root cause"), QString());
    AppException e = APP_EXCEPTION_CAUSED(general, cause, detail);

    QTest::ignoreMessage(QtInfoMsg, "Show AppException");
    QTest::ignoreMessage(QtInfoMsg, "Terminating:  FALSE");
    if (!details && general.isEmpty())
        QTest::ignoreMessage(
            QtWarningMsg,
            "Missing detail message and general message in exception. Wrong usage of AppException!");

    QString visible;
    QString hidden;
    bool detailsShown = false;
    inspectNextBox([&](MsgBox* box) {
        visible = child<QLabel>(box, "lblInfo")->text();
        hidden = child<QTextEdit>(box, "teDetails")->toPlainText();
        detailsShown = child<QWidget>(box, "btnDetails")->isVisible();
    });
    MsgBox::showError(nullptr, QStringLiteral("Title"), e);
    QCOMPARE(visible, shown);
    QCOMPARE(detailsShown, details);
    if (details) {
        QCOMPARE(hidden, e.toString(true));
        QVERIFY(hidden.startsWith(QStringLiteral("AppException: Socket failed")));
        QVERIFY(hidden.contains(QStringLiteral("Root cause")));
        QVERIFY(hidden.contains(QStringLiteral("tst_msgbox.cpp")));
    }
}

void TestMsgBox::dragMovesBox()
{
    const auto box = makeBox(MsgBox::IconSuccess, false);
    box->move(200, 150);
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    auto* titleBar = box->findChild<TitleBar*>();
    QSignalSpy spy(titleBar, &TitleBar::moveVectorEvent);
    const QPoint start = box->pos();
    sendMouse(titleBar, QEvent::MouseButtonPress, QPoint(20, 10), Qt::LeftButton, Qt::LeftButton);
    sendMouse(titleBar, QEvent::MouseMove, QPoint(30, 15), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).value<QVector2D>(), QVector2D(-10, -5));
    QTRY_COMPARE(box->pos(), start + QPoint(10, 5));
}

void TestMsgBox::dragSecondBoxMovesBoth()
{
    auto first = makeBox(MsgBox::IconApplication, false);
    const auto second = makeBox(MsgBox::IconError, false);
    first->move(100, 100);
    second->move(300, 300);
    first->show();
    second->show();
    QVERIFY(QTest::qWaitForWindowExposed(second.get()));
    const QPoint firstStart = first->pos();
    const QPoint secondStart = second->pos();

    auto* titleBar = second->findChild<TitleBar*>();
    sendMouse(titleBar, QEvent::MouseButtonPress, QPoint(20, 10), Qt::LeftButton, Qt::LeftButton);
    sendMouse(titleBar, QEvent::MouseMove, QPoint(27, 4), Qt::NoButton, Qt::LeftButton);
    QTRY_COMPARE(second->pos(), secondStart + QPoint(7, -6));
    QTRY_COMPARE(first->pos(), firstStart + QPoint(7, -6));

    // Once the first box is gone, the next box leads and the second moves alone.
    first.reset();
    const auto third = makeBox(MsgBox::IconSuccess, false);
    third->move(50, 50);
    third->show();
    QVERIFY(QTest::qWaitForWindowExposed(third.get()));
    const QPoint thirdStart = third->pos();
    const QPoint secondNow = second->pos();
    sendMouse(titleBar, QEvent::MouseButtonPress, QPoint(20, 10), Qt::LeftButton, Qt::LeftButton);
    sendMouse(titleBar, QEvent::MouseMove, QPoint(25, 10), Qt::NoButton, Qt::LeftButton);
    QTRY_COMPARE(second->pos(), secondNow + QPoint(5, 0));
    QCOMPARE(third->pos(), thirdStart);
}

void TestMsgBox::resizeCursor_data()
{
    QTest::addColumn<int>("fromLeft");
    QTest::addColumn<int>("fromRight");
    QTest::addColumn<bool>("resize");
    QTest::newRow("left edge") << 0 << -1 << true;
    QTest::newRow("5 from left") << 5 << -1 << true;
    QTest::newRow("6 from left") << 6 << -1 << false;
    QTest::newRow("right edge") << -1 << 0 << true;
    QTest::newRow("5 from right") << -1 << 5 << true;
    QTest::newRow("6 from right") << -1 << 6 << false;
    QTest::newRow("middle") << 200 << -1 << false;
}

void TestMsgBox::resizeCursor()
{
    QFETCH(int, fromLeft);
    QFETCH(int, fromRight);
    QFETCH(bool, resize);
    const auto box = makeBox(MsgBox::IconError, false);
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    auto* frame = child<QFrame>(box.get(), "frame");
    QVERIFY(frame->hasMouseTracking());
    const int x = fromLeft >= 0 ? fromLeft : frame->width() - 1 - fromRight;
    sendMouse(frame, QEvent::MouseMove, QPoint(x, frame->height() / 2), Qt::NoButton, Qt::NoButton);
    QCOMPARE(frame->cursor().shape(), resize ? Qt::SizeHorCursor : Qt::ArrowCursor);

    // Moving on into the window restores the arrow.
    auto* inside = child<QWidget>(box.get(), "mainWindowWidget");
    QEnterEvent enter(QPointF(20, 20), QPointF(20, 20), inside->mapToGlobal(QPointF(20, 20)));
    QCoreApplication::sendEvent(inside, &enter);
    QCOMPARE(frame->cursor().shape(), Qt::ArrowCursor);
}

void TestMsgBox::edgeResize()
{
    const auto box = makeBox(MsgBox::IconError, false);
    box->move(200, 200);
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    auto* frame = child<QFrame>(box.get(), "frame");
    const QRect start = box->geometry();
    const int y = frame->height() / 2;
    const int right = frame->width() - 2;

    // Right edge: a drag wider than the jitter threshold widens the box.
    sendMouse(frame, QEvent::MouseMove, QPoint(right, y), Qt::NoButton, Qt::NoButton);
    sendMouse(frame, QEvent::MouseButtonPress, QPoint(right, y), Qt::LeftButton, Qt::LeftButton);
    sendMouse(frame, QEvent::MouseMove, QPoint(right + 40, y), Qt::NoButton, Qt::LeftButton);
    QTRY_COMPARE(box->geometry(), start.adjusted(0, 0, 40, 0));
    sendMouse(frame, QEvent::MouseMove, QPoint(right + 43, y), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(box->geometry(), start.adjusted(0, 0, 40, 0));
    sendMouse(frame, QEvent::MouseMove, QPoint(right + 49, y), Qt::NoButton, Qt::LeftButton);
    QTRY_COMPARE(box->geometry(), start.adjusted(0, 0, 49, 0));
    sendMouse(frame, QEvent::MouseButtonRelease, QPoint(right + 49, y), Qt::LeftButton, Qt::NoButton);
    // Released: moving the pointer only updates the cursor.
    sendMouse(frame, QEvent::MouseMove, QPoint(right + 80, y), Qt::NoButton, Qt::NoButton);
    QCOMPARE(box->geometry(), start.adjusted(0, 0, 49, 0));

    // Left edge: widening moves the left side; narrowing below the minimum is refused.
    const QRect wide = box->geometry();
    sendMouse(frame, QEvent::MouseMove, QPoint(1, y), Qt::NoButton, Qt::NoButton);
    sendMouse(frame, QEvent::MouseButtonPress, QPoint(1, y), Qt::LeftButton, Qt::LeftButton);
    sendMouse(frame, QEvent::MouseMove, QPoint(-29, y), Qt::NoButton, Qt::LeftButton);
    QTRY_COMPARE(box->geometry(), wide.adjusted(-30, 0, 0, 0));
    sendMouse(frame, QEvent::MouseButtonRelease, QPoint(-29, y), Qt::LeftButton, Qt::NoButton);

    const auto narrow = makeBox(MsgBox::IconError, false);
    narrow->move(200, 200);
    narrow->show();
    QVERIFY(QTest::qWaitForWindowExposed(narrow.get()));
    auto* narrowFrame = child<QFrame>(narrow.get(), "frame");
    const QRect minimal = narrow->geometry();
    QCOMPARE(minimal.width(), narrow->minimumWidth());
    sendMouse(narrowFrame, QEvent::MouseMove, QPoint(1, y), Qt::NoButton, Qt::NoButton);
    sendMouse(narrowFrame, QEvent::MouseButtonPress, QPoint(1, y), Qt::LeftButton, Qt::LeftButton);
    sendMouse(narrowFrame, QEvent::MouseMove, QPoint(31, y), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(narrow->geometry(), minimal);
}

void TestMsgBox::escapeAndTitleBarClose_data()
{
    QTest::addColumn<bool>("viaTitleBar");
    QTest::newRow("title bar close button") << true;
    QTest::newRow("escape") << false;
}

void TestMsgBox::escapeAndTitleBarClose()
{
    QFETCH(bool, viaTitleBar);
    bool rejected = false;
    QTimer::singleShot(0, [&] {
        MsgBox* box = MsgBox::openBoxes().value(0);
        if (!box)
            return;
        connect(box, &QDialog::rejected, box, [&] { rejected = true; });
        if (viaTitleBar)
            QTest::mouseClick(child<QPushButton>(box->findChild<TitleBar*>(), "closeBtn"), Qt::LeftButton);
        else
            QTest::keyClick(box, Qt::Key_Escape);
    });
    MsgBox::showSuccess(nullptr, QStringLiteral("Title"), QStringLiteral("Done"));
    QVERIFY(rejected);
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
// style sheet would spoil: the see-through shadow margin and the button row.
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
    if (kind == QLatin1String("error") || kind == QLatin1String("error-details")) {
        const bool details = kind == QLatin1String("error-details");
        box = makeBox(
            MsgBox::IconError, details,
            QStringLiteral("The signer could not be started. Please try again, and contact support if "
                           "the problem persists."));
        if (details) {
            const AppException cause = APP_EXCEPTION(QStringLiteral("Process failed to start"), QString());
            box->setDetails(APP_EXCEPTION_CAUSED(QStringLiteral("Unable to start Quillet"), cause, QString())
                                .toString(true));
        }
    } else if (kind == QLatin1String("success")) {
        box = makeBox(MsgBox::IconSuccess, false,
                      QStringLiteral("Quillet Tray will now start with your desktop."));
    } else if (kind == QLatin1String("info")) {
        box = makeBox(MsgBox::IconNone, false, QStringLiteral("Quillet Tray is already running."));
        child<QPushButton>(box.get(), "btnOK")
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
        QTRY_COMPARE(child<QWidget>(box.get(), "teDetails")->height(), 160);
    }

    const QImage shot = box->grab().toImage();
    auto* frame = child<QFrame>(box.get(), "frame");
    const int midY = frame->height() / 2;
    // Shadow: transparent at the outer edge, denser towards the window, opaque inside.
    QVERIFY2(shot.pixelColor(0, midY).alpha() < 40,
             qPrintable(QString::number(shot.pixelColor(0, midY).alpha())));
    QVERIFY(shot.pixelColor(7, midY).alpha() > shot.pixelColor(2, midY).alpha());
    QVERIFY(shot.pixelColor(7, midY).alpha() < 255);
    QCOMPARE(shot.pixelColor(8, midY).alpha(), 255);
    QVERIFY(shot.pixelColor(0, 0).alpha() < 40);
    QVERIFY(shot.pixelColor(frame->width() - 1, frame->height() - 1).alpha() < 40);

    // Buttons share one row, fully inside the window.
    auto* btnOK = child<QPushButton>(box.get(), "btnOK");
    auto* btnDetails = child<QPushButton>(box.get(), "btnDetails");
    const QRect inner = child<QWidget>(box.get(), "mainWindowWidget")->rect();
    const QWidget* window = child<QWidget>(box.get(), "mainWindowWidget");
    QVERIFY(inner.contains(QRect(btnOK->mapTo(window, QPoint()), btnOK->size())));
    if (btnDetails->isVisible()) {
        QCOMPARE(btnDetails->geometry().top(), btnOK->geometry().top());
        QCOMPARE(btnDetails->height(), btnOK->height());
        QVERIFY(inner.contains(QRect(btnDetails->mapTo(window, QPoint()), btnDetails->size())));
    }
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
    // Should terminating fail to close them, end the loops here instead of hanging.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, [] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<MsgBox*>(widget))
                box->done(0);
        }
    });
    watchdog.start(20000);
    MsgBox::showError(nullptr, QStringLiteral("First"), QStringLiteral("Waiting"));
    QVERIFY(watchdog.isActive());
    QCOMPARE(openWhileNested, 2);
    QVERIFY(secondReturned);
    QVERIFY(first.isNull());
    QVERIFY(second.isNull());
    QVERIFY(MsgBox::openBoxes().isEmpty());

    // While terminating, every show function only logs.
    QTest::ignoreMessage(QtInfoMsg, "Showing error with message:  \"Late\"");
    QTest::ignoreMessage(QtInfoMsg, "Showing Success:  \"Late\"");
    QTest::ignoreMessage(QtInfoMsg, "Showing Info:  \"Late\"");
    QTest::ignoreMessage(QtInfoMsg, "Showing error with hidden message:  \"Late\"");
    QTest::ignoreMessage(QtInfoMsg, "Showing MsgInfo:  \"Late\"");
    QTest::ignoreMessage(QtInfoMsg, "Show AppException");
    QTest::ignoreMessage(QtInfoMsg, "Terminating:  TRUE");
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    MsgBox::showError(nullptr, QStringLiteral("T"), QStringLiteral("Late"));
    MsgBox::showSuccess(nullptr, QStringLiteral("T"), QStringLiteral("Late"));
    MsgBox::showInfoWithoutIcon(nullptr, QStringLiteral("T"), QStringLiteral("Late"));
    MsgBox::showErrorWithDetail(nullptr, QStringLiteral("T"), QStringLiteral("M"), QStringLiteral("Late"));
    QCOMPARE(MsgBox::aboutDialog(nullptr, QStringLiteral("T"), QStringLiteral("Late")), nullptr);
    AppException e = APP_EXCEPTION(QString(), QString());
    MsgBox::showError(nullptr, QStringLiteral("T"), e);
    QVERIFY(MsgBox::openBoxes().isEmpty());
    for (QWidget* widget : QApplication::topLevelWidgets())
        QVERIFY(!qobject_cast<MsgBox*>(widget));
    MsgBox::setTerminating(false);
}

QTEST_MAIN(TestMsgBox)
#include "tst_msgbox.moc"
