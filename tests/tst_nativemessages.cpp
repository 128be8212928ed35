#include "nativemessages.h"

#include <QtTest>

namespace {
QString withMethod(const QString& method)
{
    return QStringLiteral("{\"id\":\"1\",\"method\":\"%1\",\"args\":[]}").arg(method);
}
} // namespace

class TestNativeMessages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void setNamespace_data();
    void setNamespace();
    void invalidNameKeepsNamespace();
    void builtMessages();
    void messageId_data();
    void messageId();
    void isCheckContext_data();
    void isCheckContext();
};

void TestNativeMessages::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
}

void TestNativeMessages::setNamespace_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("parts");
    QTest::addColumn<QStringList>("warnings");

    const QString noNamespace = QStringLiteral("Unable to find namespace in \"%1\"");
    auto invalid = [&](const char* row, const QString& method) {
        QTest::newRow(row) << withMethod(method) << QStringList() << QStringList {noNamespace.arg(method)};
    };
    QTest::newRow("document signer") << withMethod("Quillet.2.6.1.page1.QES.CheckContext")
                                     << QStringList {"Quillet", "2.6.1", "page1"} << QStringList();
    QTest::newRow("word characters and long numbers")
        << withMethod("Quillet_Pkcs11.10.200.3000.Tab_9.QES.Sign_2")
        << QStringList {"Quillet_Pkcs11", "10.200.3000", "Tab_9"} << QStringList();
    invalid("version of two numbers", "Quillet.2.6.QES.CheckContext");
    invalid("version of four numbers", "Quillet.2.6.1.4.page1.QES.CheckContext");
    invalid("hyphen in instance", "Quillet.2.6.1.page-1.QES.CheckContext");
    invalid("letter in version", "Quillet.2.x.1.page1.QES.CheckContext");
    invalid("non-ASCII letter is no word character", "Quillét.2.6.1.page1.QES.CheckContext");
    invalid("non-ASCII digit is no digit", "Quillet.2.٦.1.page1.QES.CheckContext");
    invalid("no QES", "Quillet.2.6.1.page1.CheckContext");
    invalid("lower-case qes", "Quillet.2.6.1.page1.qes.CheckContext");
    invalid("trailing dot", "Quillet.2.6.1.page1.QES.");
    QTest::newRow("not JSON") << "not json" << QStringList()
                              << QStringList {"Unable to parse json message: \"not json\"",
                                              noNamespace.arg("")};
    QTest::newRow("method is a number")
        << "{\"method\":5}" << QStringList()
        << QStringList {"Unable to parse json message: \"{\\\"method\\\":5}\"", noNamespace.arg("")};
}

void TestNativeMessages::setNamespace()
{
    QFETCH(QString, message);
    QFETCH(QStringList, parts);
    QFETCH(QStringList, warnings);

    for (const QString& warning : warnings)
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    NativeMessages messages;
    messages.setNamespace(message);
    QCOMPARE(messages.isValid(), !parts.isEmpty());
    if (!parts.isEmpty()) {
        QCOMPARE(messages.appName(), parts.at(0));
        QCOMPARE(messages.qualifiedName("X"),
                 QStringLiteral("%1.%2.%3.QES.X").arg(parts.at(0), parts.at(1), parts.at(2)));
    }
}

void TestNativeMessages::invalidNameKeepsNamespace()
{
    NativeMessages messages;
    messages.setNamespace(withMethod("Quillet.2.6.1.page1.QES.CheckContext"));
    QTest::ignoreMessage(QtWarningMsg, "Unable to find namespace in \"Other.1.QES.X\"");
    messages.setNamespace(withMethod("Other.1.QES.X"));
    QCOMPARE(messages.qualifiedName("Sign"), QStringLiteral("Quillet.2.6.1.page1.QES.Sign"));
}

void TestNativeMessages::builtMessages()
{
    NativeMessages messages;
    messages.setNamespace(withMethod("Quillet.2.6.1.page1.QES.CheckContext"));
    QCOMPARE(messages.checkContextReply("7", ""),
             R"({"error":"","id":"7","method":"Quillet.2.6.1.page1.QES.CheckContext","result":""})");
    QCOMPARE(messages.checkContextReply("", "Bad context!"),
             R"({"error":"Bad context!","method":"Quillet.2.6.1.page1.QES.CheckContext","result":""})");
    QCOMPARE(messages.checkContextReply("é\"1", ""),
             R"({"error":"","id":"é\"1","method":"Quillet.2.6.1.page1.QES.CheckContext","result":""})");
    QCOMPARE(messages.disposeMessage(), R"({"args":[],"method":"Quillet.2.6.1.page1.QES.DisposeInstance"})");
}

void TestNativeMessages::messageId_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("id");
    const auto row = [](const char* name, const char* message, const char* id) {
        QTest::newRow(name) << QString(message) << QString(id);
    };
    row("text", R"({"id":"42","method":"m"})", "42");
    row("number", R"({"id":42,"method":"m"})", "");
    row("empty text", R"({"id":"","method":"m"})", "");
    row("missing", R"({"method":"m"})", "");
    row("not JSON", "id", "");
    row("array", R"(["42"])", "");
}

void TestNativeMessages::messageId()
{
    QFETCH(QString, message);
    QFETCH(QString, id);
    QCOMPARE(NativeMessages().messageId(message), id);
}

void TestNativeMessages::isCheckContext_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("checkContext");

    QTest::newRow("exact") << withMethod("Quillet.2.6.1.page1.QES.CheckContext") << true;
    QTest::newRow("escaped letters") << withMethod("Quillet.2.6.1.page1.QES.\\u0043heckContext") << true;
    // The JSON reader takes an escaped character that needs none as that character.
    QTest::newRow("needlessly escaped dot") << withMethod("Quillet.2.6.1.page1\\.QES.CheckContext") << true;
    QTest::newRow("lower case") << withMethod("Quillet.2.6.1.page1.QES.checkContext") << false;
    QTest::newRow("another instance") << withMethod("Quillet.2.6.1.page2.QES.CheckContext") << false;
    QTest::newRow("name only in args")
        << R"({"method":"Quillet.2.6.1.page1.QES.Sign","args":["Quillet.2.6.1.page1.QES.CheckContext"]})"
        << false;
    QTest::newRow("not JSON") << "Quillet.2.6.1.page1.QES.CheckContext" << false;
}

void TestNativeMessages::isCheckContext()
{
    QFETCH(QString, message);
    QFETCH(bool, checkContext);
    NativeMessages messages;
    messages.setNamespace(withMethod("Quillet.2.6.1.page1.QES.CheckContext"));
    QCOMPARE(messages.isCheckContext(message), checkContext);
}

QTEST_GUILESS_MAIN(TestNativeMessages)
#include "tst_nativemessages.moc"
