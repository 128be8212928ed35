#include "appexception.h"
#include "nativemessagereader.h"

#include <QBuffer>
#include <QtEndian>
#include <QtTest>

namespace {
QByteArray header(qint32 length)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(length, bytes.data());
    return bytes;
}

QByteArray frame(const QByteArray& payload)
{
    return header(qint32(payload.size())) + payload;
}
} // namespace

// Each row hands the reader its pieces one read at a time, as a pipe would, and lists what
// comes out after each read. A payload cut off by the signer's exit is a row of tst_tray.
class TestNativeMessageReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reads_data();
    void reads();
};

void TestNativeMessageReader::reads_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QList<QByteArrayList>>("delivered");
    QTest::addColumn<QString>("error");

    using Out = QList<QByteArrayList>;
    QTest::newRow("several frames in one read, length in UTF-8 bytes")
        << QByteArrayList {frame("{\"a\":1}") + frame("\"é€\"") + frame("[2]")}
        << Out {{"{\"a\":1}", "\"é€\"", "[2]"}} << "";
    QTest::newRow("empty frame ends the read, the rest comes with the next")
        << QByteArrayList {frame("") + frame("x"), frame("y")} << Out {{}, {"x", "y"}} << "";
    QTest::newRow("header split") << QByteArrayList {header(3).left(1), header(3).mid(1) + "ab", "c"}
                                  << Out {{}, {}, {"abc"}} << "";
    QTest::newRow("payload split over many reads")
        << QByteArrayList {header(6) + "a", "b", "c", "d", "e", "f" + frame("g")}
        << Out {{}, {}, {}, {}, {}, {"abcdef", "g"}} << "";
    QTest::newRow("header cut off") << QByteArrayList {frame("x") + header(5).left(2)} << Out {{"x"}}
                                    << "Expected 4 bytes from STDOUT but received 2 bytes";
    QTest::newRow("negative length") << QByteArrayList {header(-1) + "abc"} << Out {}
                                     << "Expected -1 bytes from STDOUT but received 0 bytes";
    QTest::newRow("length over the limit")
        << QByteArrayList {frame("x") + header(qint32(NativeMessageReader::maxMessageSize + 1)) + "abc"}
        << Out {} << "A message of 67108865 bytes from STDOUT exceeds the limit of 67108864 bytes";
}

void TestNativeMessageReader::reads()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QList<QByteArrayList>, delivered);
    QFETCH(QString, error);

    QBuffer pipe;
    QVERIFY(pipe.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    NativeMessageReader reader;
    QList<QByteArrayList> out;
    QString thrown;
    try {
        for (const QByteArray& piece : pieces) {
            pipe.buffer().append(piece);
            QByteArrayList messages;
            QByteArray payload;
            while (reader.readMessage(pipe, payload))
                messages.append(payload);
            out.append(messages);
        }
        reader.checkEnd();
    } catch (const AppException& e) {
        thrown = e.generalMessage();
    }
    QCOMPARE(out, delivered);
    QCOMPARE(thrown, error);
}

QTEST_GUILESS_MAIN(TestNativeMessageReader)
#include "tst_nativemessagereader.moc"
