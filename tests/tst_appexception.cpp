#include "appexception.h"
#include "qtrayapp.h"

#include <QPointer>
#include <QtTest>

namespace {
QStringList capturedWarnings;

void captureHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtWarningMsg)
        capturedWarnings.append(message);
}

AppException makeAt(const QString& message, unsigned long line)
{
    return AppException(message, QStringLiteral("a.cpp"), line, QStringLiteral("void f()"), QString());
}

// Throws whatever it was told to from its event handler, as a slot would.
class Thrower : public QObject
{
public:
    std::function<void()> action;

protected:
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User)
            action();
        return QObject::event(e);
    }
};
} // namespace

class TestAppException : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rendering_data();
    void rendering();
    void threeLevelChain();
    void copiesShareCauseCloneIsIndependent();
    void notifyNamesTheKind_data();
    void notifyNamesTheKind();
};

void TestAppException::rendering_data()
{
    QTest::addColumn<QString>("general");
    QTest::addColumn<bool>("withLocation");
    QTest::addColumn<QString>("expected");

    QTest::newRow("message without location")
        << "Config wasn't loaded!" << false << "AppException: Config wasn't loaded!";
    QTest::newRow("message with location")
        << "Boom" << true << "AppException: Boom\n  at void f() in a.cpp line 42";
    QTest::newRow("empty message") << "" << false << "AppException: <No message available>";
    QTest::newRow("empty message with location")
        << "" << true << "AppException: <No message available>\n  at void f() in a.cpp line 42";
}

void TestAppException::rendering()
{
    QFETCH(QString, general);
    QFETCH(bool, withLocation);
    QFETCH(QString, expected);
    const AppException e(general, QStringLiteral("a.cpp"), 42, QStringLiteral("void f()"),
                         QStringLiteral("detail"));
    QCOMPARE(e.toString(withLocation), expected);
    QVERIFY(e.hasDetailMessage());
    QCOMPARE(e.detailMessage(), QStringLiteral("detail"));
}

void TestAppException::threeLevelChain()
{
    const AppException c = makeAt(QStringLiteral("C"), 3);
    const AppException b(QStringLiteral("B"), c, QStringLiteral("b.cpp"), 2, QStringLiteral("void g()"),
                         QString());
    const AppException a(QStringLiteral("A"), b, QStringLiteral("x.cpp"), 1, QStringLiteral("void h()"),
                         QString());
    QCOMPARE(a.toString(false),
             QStringLiteral("AppException: A\ncaused by AppException: B\ncaused by AppException: C"));
    QCOMPARE(a.toString(true),
             QStringLiteral("AppException: A\n  at void h() in x.cpp line 1\n"
                            "caused by AppException: B\n  at void g() in b.cpp line 2\n"
                            "caused by AppException: C\n  at void f() in a.cpp line 3"));
    QVERIFY(!a.hasDetailMessage());
}

void TestAppException::copiesShareCauseCloneIsIndependent()
{
    auto* original = new AppException(QStringLiteral("outer"), makeAt(QStringLiteral("inner"), 7),
                                      QStringLiteral("o.cpp"), 9, QStringLiteral("void o()"), QString());
    const AppException copy(*original);
    QCOMPARE(copy.cause(), original->cause());

    AppException* cloned = original->clone();
    QVERIFY(cloned->cause() != original->cause());
    const QString rendered = original->toString(true);
    delete original;
    QCOMPARE(cloned->toString(true), rendered);
    QCOMPARE(copy.toString(true), rendered);
    delete cloned;
}

void TestAppException::notifyNamesTheKind_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("AppException")
        << 0
        << QStringList {
               "Caught AppException -  \"AppException: slot failed\\n  at void f() in a.cpp line 42\""};
    QTest::newRow("std::exception") << 1 << QStringList {"Caught std::exception -  runtime trouble"};
    QTest::newRow("int") << 2 << QStringList {"Caught unknown exception", "Unknown exception type:  \"i\""};
}

void TestAppException::notifyNamesTheKind()
{
    QFETCH(int, kind);
    QFETCH(QStringList, warnings);

    Thrower thrower;
    thrower.action = [kind] {
        if (kind == 0)
            throw makeAt(QStringLiteral("slot failed"), 42);
        if (kind == 1)
            throw std::runtime_error("runtime trouble");
        throw 7;
    };

    capturedWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureHandler);
    bool rethrown = false;
    QEvent event(QEvent::User);
    try {
        QCoreApplication::sendEvent(&thrower, &event);
    } catch (...) {
        rethrown = true;
    }
    qInstallMessageHandler(previous);

    QVERIFY2(rethrown, "notify must pass the exception on");
    QCOMPARE(capturedWarnings, warnings);
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTrayApp app(argc, argv);
    TestAppException test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appexception.moc"
