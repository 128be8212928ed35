#include "logger.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

class TestLogger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void lineFormat();
    void unknownLevel();
    void writesOnlyWhileTheFileExists();
    void threadsNeverInterleave();

private:
    QStringList readLines() const;
    QTemporaryDir m_home;
    QString m_logFile;
};

void TestLogger::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("XDG_DATA_HOME", m_home.path().toUtf8());
    enableLogging(QStringLiteral("TestLog.txt"));
    m_logFile = logDirectory() + QStringLiteral("TestLog.txt");
    QVERIFY(QDir().mkpath(logDirectory()));
}

void TestLogger::init()
{
    QFile::remove(m_logFile);
    QDir(m_logFile).removeRecursively();
    QFile file(m_logFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

QStringList TestLogger::readLines() const
{
    QFile file(m_logFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestLogger::lineFormat()
{
    // Markers in the text must stay as they are.
    // clang-format off
    qInfo() << "Hello %1 %8 %%" << QStringLiteral("world") << 42; const int line = __LINE__;
    // clang-format on
    const QStringList lines = readLines();
    QCOMPARE(lines.size(), 1);
    const QRegularExpression pattern(QStringLiteral(
        R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) - (\d+) - (\d+) - I - Hello %1 %8 %% "world" 42 - at (.*) in (.*) line (\d+)$)"));
    const QRegularExpressionMatch match = pattern.match(lines.first());
    QVERIFY2(match.hasMatch(), qPrintable(lines.first()));
    QCOMPARE(match.captured(2).toLongLong(), QCoreApplication::applicationPid());
    QCOMPARE(match.captured(3).toULongLong(), reinterpret_cast<quintptr>(QThread::currentThreadId()));
    QCOMPARE(match.captured(4), QStringLiteral("void TestLogger::lineFormat()"));
    QVERIFY(match.captured(5).endsWith(QStringLiteral("tst_logger.cpp")));
    QCOMPARE(match.captured(6).toInt(), line);
    const QDateTime stamp = QDateTime::fromString(match.captured(1), Qt::ISODate);
    QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTimeUtc())) < 60);
}

void TestLogger::unknownLevel()
{
    const QMessageLogContext context("file.cpp", 7, "void g()", "default");
    messageHandler(static_cast<QtMsgType>(99), context, QStringLiteral("text"));
    const QStringList lines = readLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().endsWith(QStringLiteral(" - ? - text - at void g() in file.cpp line 7")),
             qPrintable(lines.first()));
}

// Making or removing the file switches logging on and off; a directory in its place
// receives nothing.
void TestLogger::writesOnlyWhileTheFileExists()
{
    QVERIFY(isLogFileReady());
    qWarning() << "first";
    QVERIFY(QFile::rename(m_logFile, m_logFile + QStringLiteral(".old")));
    QVERIFY(!isLogFileReady());
    qWarning() << "after rename";
    QVERIFY(!QFile::exists(m_logFile));
    QVERIFY(QDir().mkpath(m_logFile));
    QVERIFY(!isLogFileReady());
    qWarning() << "into a directory";
    QVERIFY(QDir(m_logFile).isEmpty());
    QVERIFY(QDir(m_logFile).removeRecursively()
            && QFile::rename(m_logFile + QStringLiteral(".old"), m_logFile));

    const QStringList lines = readLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().contains(QStringLiteral(" - W - first - at ")));
}

void TestLogger::threadsNeverInterleave()
{
    constexpr int perThread = 300;
    const QString payload(200, QLatin1Char('x'));
    auto work = [&payload](char tag) {
        for (int i = 0; i < perThread; ++i)
            qInfo().noquote() << QLatin1Char(tag) + payload + QLatin1Char(tag);
    };
    std::unique_ptr<QThread> a(QThread::create(work, 'a'));
    std::unique_ptr<QThread> b(QThread::create(work, 'b'));
    a->start();
    b->start();
    QVERIFY(a->wait(60000) && b->wait(60000));

    const QStringList lines = readLines();
    QCOMPARE(lines.size(), 2 * perThread);
    const QRegularExpression whole(QStringLiteral(R"( - I - ([ab])x{200}\1 - at )"));
    for (const QString& line : lines)
        QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
}

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
