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
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }
    void setNamespace_data();
    void setNamespace();
    void isCheckContext_data();
    void isCheckContext();
};

void TestNativeMessages::setNamespace_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("qualified"); // qualifiedName("X"), empty when invalid
    QTest::addColumn<QStringList>("warnings");

    const auto invalid = [](const char* row, const QString& method) {
        QTest::newRow(row) << withMethod(method) << QString()
                           << QStringList {QStringLiteral("Unable to find namespace in \"%1\"").arg(method)};
    };
    QTest::newRow("document signer") << withMethod("Quillet.2.6.1.page1.QES.CheckContext")
                                     << "Quillet.2.6.1.page1.QES.X" << QStringList();
    QTest::newRow("word characters and long numbers")
        << withMethod("Quillet_Pkcs11.10.200.3000.Tab_9.QES.Sign_2")
        << "Quillet_Pkcs11.10.200.3000.Tab_9.QES.X" << QStringList();
    invalid("version of four numbers", "Quillet.2.6.1.4.page1.QES.CheckContext");
    invalid("hyphen in instance", "Quillet.2.6.1.page-1.QES.CheckContext");
    invalid("non-ASCII letter is no word character", "Quillét.2.6.1.page1.QES.CheckContext");
    invalid("non-ASCII digit is no digit", "Quillet.2.٦.1.page1.QES.CheckContext");
    invalid("lower-case qes", "Quillet.2.6.1.page1.qes.CheckContext");
    QTest::newRow("not JSON") << "not json" << QString()
                              << QStringList {"Unable to parse json message: \"not json\"",
                                              "Unable to find namespace in \"\""};
}

void TestNativeMessages::setNamespace()
{
    QFETCH(QString, message);
    QFETCH(QString, qualified);
    QFETCH(QStringList, warnings);

    for (const QString& warning : warnings)
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    NativeMessages messages;
    messages.setNamespace(message);
    QCOMPARE(messages.isValid(), !qualified.isEmpty());
    if (!qualified.isEmpty()) {
        QCOMPARE(messages.qualifiedName("X"), qualified);
        QCOMPARE(messages.appName(), qualified.section('.', 0, 0));
    }
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
