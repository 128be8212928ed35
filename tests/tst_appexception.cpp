#include "appexception.h"
#include "qtrayapp.h"

#include <QtTest>

namespace {
QStringList capturedWarnings;

void captureHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtWarningMsg)
        capturedWarnings.append(message);
}

AppException makeAt(const QString& message, unsigned long line, const QString& detail = QString())
{
    return AppException(message, QStringLiteral("a.cpp"), line, QStringLiteral("void f()"), detail);
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
    void causeChain();
    void notifyNamesTheKind_data();
    void notifyNamesTheKind();
};

// A clone owns a copy of the whole chain, so it outlives the original; an empty message
// still says something.
void TestAppException::causeChain()
{
    const AppException b(QStringLiteral("B"), makeAt(QString(), 3, QStringLiteral("detail")),
                         QStringLiteral("b.cpp"), 2, QStringLiteral("void g()"), QString());
    auto* a = new AppException(QStringLiteral("A"), b, QStringLiteral("x.cpp"), 1, QStringLiteral("void h()"),
                               QString());
    QCOMPARE(
        a->toString(false),
        QStringLiteral(
            "AppException: A\ncaused by AppException: B\ncaused by AppException: <No message available>"));
    const QString rendered = a->toString(true);
    QCOMPARE(rendered,
             QStringLiteral("AppException: A\n  at void h() in x.cpp line 1\n"
                            "caused by AppException: B\n  at void g() in b.cpp line 2\n"
                            "caused by AppException: <No message available>\n  at void f() in a.cpp line 3"));
    QCOMPARE(a->cause()->cause()->detailMessage(), QStringLiteral("detail"));
    const AppException copy(*a);
    std::unique_ptr<AppException> cloned(a->clone());
    QVERIFY(cloned->cause() != a->cause());
    delete a;
    QCOMPARE(cloned->toString(true), rendered);
    QCOMPARE(copy.toString(true), rendered);
}

void TestAppException::notifyNamesTheKind_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("AppException") << 0
                                  << QStringList {
                                         "Caught AppException -  \"AppException: slot failed\\n  at void "
                                         "f() in a.cpp line 42\""};
    QTest::newRow("std::exception") << 1 << QStringList {"Caught std::exception -  runtime trouble"};
    QTest::newRow("int") << 2 << QStringList {"Caught unknown exception", "Unknown exception type:  \"i\""};
}

// The application object logs what a slot threw and passes it on.
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
    QVERIFY(rethrown);
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
