#include "appexception.h"
#include "msgbox.h"
#include "quilletproperties.h"
#include "titlebar.h"

#include <QLabel>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
template <typename T = QWidget> T* child(QWidget* box, const char* name)
{
    return box->findChild<T*>(QLatin1String(name));
}

void send(QWidget* target, QEvent::Type type, const QPoint& at, Qt::MouseButtons held)
{
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, at, target->mapToGlobal(at), button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

void drag(QWidget* target, const QPoint& from, const QPoint& to)
{
    send(target, QEvent::MouseButtonPress, from, Qt::LeftButton);
    send(target, QEvent::MouseMove, to, Qt::LeftButton);
}

std::unique_ptr<MsgBox> shownBox(const QPoint& at)
{
    auto box = std::make_unique<MsgBox>(nullptr, u"Message"_s, u"Title"_s, MsgBox::IconError, true);
    box->move(at);
    box->show();
    return QTest::qWaitForWindowExposed(box.get()) ? std::move(box) : nullptr;
}
using Show = std::function<void()>;
} // namespace
Q_DECLARE_METATYPE(Show)

class TestUi : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each theme's boxes: a see-through shadow around an opaque window, and a green OK button.
    void themes()
    {
        for (const QString& theme : {u"dark"_s, u"light"_s}) {
            QuilletProperties::instance()->setTheme(theme);
            QuilletProperties::instance()->applyDefaultStyleSheet();
            const auto box = shownBox(QPoint(100, 100));
            QVERIFY(box);
            const QImage shot = box->grab().toImage();
            QVERIFY(shot.pixelColor(0, shot.height() / 2).alpha() < 40);
            QCOMPARE(shot.pixelColor(8, shot.height() / 2).alpha(), 255);
            auto* ok = child<QPushButton>(box.get(), "btnOK");
            const QColor face = ok->grab().toImage().pixelColor(ok->width() / 2, 2);
            QVERIFY2(face.green() > face.red() + 60, qPrintable(theme + face.name()));
        }
    }
    void boxes_data()
    {
        QTest::addColumn<Show>("show");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("details"); // empty: no details button
        const QString t = u"Title"_s, m = u"Message"_s;
        QTest::newRow("error") << Show([=] { MsgBox::showError(nullptr, t, m); }) << m << QString();
        AppException cause = APP_EXCEPTION(u"Root cause"_s, QString());
        AppException both = APP_EXCEPTION_CAUSED(u"Socket failed"_s, cause, m);
        QTest::newRow("exception with detail")
            << Show([=]() mutable { MsgBox::showError(nullptr, t, both); }) << m << both.toString(true);
        AppException empty = APP_EXCEPTION(QString(), QString());
        QTest::newRow("empty exception") << Show([=]() mutable { MsgBox::showError(nullptr, t, empty); })
                                         << u"GeneralExceptionMessage"_s << QString();
    }
    // Each show function runs one modal box until OK, opened details included, then disposes of it.
    void boxes()
    {
        QFETCH(Show, show);
        QFETCH(QString, shown);
        QFETCH(QString, details);
        QPointer<MsgBox> seen;
        QTimer::singleShot(0, [&] {
            seen = MsgBox::openBoxes().value(0);
            QVERIFY(seen && seen->isModal() && MsgBox::openBoxes().size() == 1);
            QCOMPARE(child<QLabel>(seen, "lblInfo")->text(), shown);
            QCOMPARE(child(seen, "btnDetails")->isVisible(), !details.isEmpty());
            if (!details.isEmpty()) {
                QTest::mouseClick(child<QPushButton>(seen, "btnDetails"), Qt::LeftButton);
                QTRY_COMPARE(child(seen, "teDetails")->height(), 160);
                QCOMPARE(child<QTextEdit>(seen, "teDetails")->toPlainText(), details);
            }
            QTest::mouseClick(child<QPushButton>(seen, "btnOK"), Qt::LeftButton);
        });
        show();
        QVERIFY(MsgBox::openBoxes().isEmpty());
        QTRY_VERIFY(seen.isNull());
    }
    // The first box's title bar leads: dragging a later box moves both. An edge drag widens the box
    // until release, and each close button closes its own box.
    void dragAndResize()
    {
        const auto first = shownBox(QPoint(100, 100)), second = shownBox(QPoint(300, 300));
        QVERIFY(first && second);
        const QPoint firstStart = first->pos(), secondStart = second->pos();
        drag(first->findChild<TitleBar*>(), QPoint(20, 10), QPoint(30, 15));
        QTRY_COMPARE(first->pos(), firstStart + QPoint(10, 5));
        QCOMPARE(second->pos(), secondStart);
        drag(second->findChild<TitleBar*>(), QPoint(20, 10), QPoint(27, 4));
        QTRY_COMPARE(second->pos(), secondStart + QPoint(7, -6));
        QTRY_COMPARE(first->pos(), firstStart + QPoint(17, -1));

        auto* frame = child(second.get(), "frame");
        const QRect start = second->geometry();
        const QPoint edge(frame->width() - 6, frame->height() / 2); // 5 pixels inside the right edge
        send(frame, QEvent::MouseMove, edge, Qt::NoButton);
        drag(frame, edge, edge + QPoint(40, 0));
        send(frame, QEvent::MouseButtonRelease, edge + QPoint(40, 0), Qt::NoButton);
        send(frame, QEvent::MouseMove, edge + QPoint(80, 0), Qt::NoButton);
        QCOMPARE(second->geometry(), start.adjusted(0, 0, 40, 0));
        QTest::mouseClick(child<QPushButton>(second.get(), "closeBtn"), Qt::LeftButton);
        QVERIFY(!second->isVisible() && first->isVisible());
        // Under Wayland, whichever plugin, the compositor moves the boxes instead.
        QVERIFY(MsgBox::compositorMovesWindows(u"wayland-egl"_s)
                && !MsgBox::compositorMovesWindows(u"xcb"_s));
    }
    void terminatingShowsNothing()
    {
        MsgBox::setTerminating(true);
        const auto reset = qScopeGuard([] { MsgBox::setTerminating(false); });
        MsgBox::showError(nullptr, u"T"_s, u"Late"_s);
        QCOMPARE(MsgBox::aboutDialog(nullptr, u"T"_s, u"Late"_s), nullptr);
        for (QWidget* widget : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<MsgBox*>(widget));
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
