#include "traytree.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

// Runs the real program from a copied install tree, with its own data directory.
class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void missingTranslations();
    void startsFromAnotherDirectory_data();
    void startsFromAnotherDirectory();
    void helpAndVersion_data();
    void helpAndVersion();
    void survivesEscapingExceptions_data();
    void survivesEscapingExceptions();

private:
    // Starts a program of the tree under `locale` from outside its directory; its process id.
    qint64 start(QProcess& process, const QString& program, const QStringList& arguments,
                 const QString& locale = u"en_US.UTF-8"_s);
    QString log(qint64 pid) const { return m_tree->logLines(m_user, pid).join(u'\n'); }

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<TrayTree> m_tree;
    const QString m_user = u"user"_s;
};

void TestStartup::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    QVERIFY(QDir(m_root->path()).mkpath(u"tmp"_s));
    m_tree = std::make_unique<TrayTree>(m_root->filePath(u"tree"_s));
    QVERIFY(m_tree->isValid());
    QVERIFY(m_tree->addUser(m_user));
}

void TestStartup::cleanup()
{
    TrayTree::removeInstanceLocks(m_root->filePath(u"tmp"_s));
}

qint64 TestStartup::start(QProcess& process, const QString& program, const QStringList& arguments,
                          const QString& locale)
{
    QProcessEnvironment env = m_tree->environment(m_user, m_root->filePath(u"tmp"_s));
    env.remove(u"LC_MESSAGES"_s);
    env.insert(u"LC_ALL"_s, locale);
    env.insert(u"LANG"_s, locale);
    process.setProcessEnvironment(env);
    // Not the program's directory: translations and configuration are found beside the program.
    process.setWorkingDirectory(m_root->path());
    process.start(program, arguments);
    return process.waitForStarted() ? process.processId() : 0;
}

void TestStartup::missingTranslations()
{
    QVERIFY(QDir(m_tree->root() + u"/share/translations"_s).removeRecursively());
    QProcess process;
    const qint64 pid = start(process, m_tree->executable(), {});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    const QStringList lines = m_tree->logLines(m_user, pid);
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.last().contains(u" - I - Could not find language package. - at "_s),
             qPrintable(lines.last()));
    QVERIFY(!log(pid).contains(u"exiting with exit code"_s));
}

void TestStartup::startsFromAnotherDirectory_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("language");

    QTest::newRow("English, no arguments") << u"en_US.UTF-8"_s << QStringList() << u"en"_s;
    QTest::newRow("German falls back to English") << u"de_DE.UTF-8"_s << QStringList() << u"en"_s;
    QTest::newRow("Slovak, two arguments") << u"sk_SK.UTF-8"_s << QStringList {"one", "two words"} << u"sk"_s;
}

void TestStartup::startsFromAnotherDirectory()
{
    QFETCH(QString, locale);
    QFETCH(QStringList, arguments);
    QFETCH(QString, language);

    QProcess process;
    const qint64 pid = start(process, m_tree->executable(), arguments, locale);
    QVERIFY2(m_tree->waitForLog(m_user, pid, u"Server starts listening on"_s), qPrintable(log(pid)));
    QCOMPARE(process.state(), QProcess::Running);
    process.kill();
    process.waitForFinished(10000);

    const QString text = log(pid);
    QVERIFY(text.contains(u"System language was found:  \"%1\""_s.arg(language)));
    QVERIFY(
        QRegularExpression(QStringLiteral(R"re(Starting app:  "QuilletTray" "2\.6\.1 \([0-9a-f]{40}\)")re"))
            .match(text)
            .hasMatch());
    for (const char* line :
         {"Qt build version:  " QT_VERSION_STR, "Qt runtime version:  ", " - I - OS type:  \""})
        QVERIFY(text.contains(QLatin1String(line)));
    QVERIFY(!text.contains(u"Could not find language package."_s));
    if (arguments.isEmpty())
        QVERIFY(!text.contains(u"with arguments: "_s));
    else
        QVERIFY2(text.contains(u" - I - with arguments:  QList(\"one\", \"two words\") - at "_s),
                 qPrintable(text));
}

void TestStartup::helpAndVersion_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");
    QTest::newRow("--version") << u"--version"_s << u"QuilletTray 2.6.1 ("_s;
    QTest::newRow("--help") << u"--help"_s << u"--version"_s;
}

void TestStartup::helpAndVersion()
{
    QFETCH(QString, option);
    QFETCH(QString, expected);
    QProcess process;
    start(process, m_tree->executable(), {option});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(QString::fromLocal8Bit(process.readAllStandardOutput()).contains(expected),
             qPrintable(QString::fromLocal8Bit(process.readAllStandardError())));
}

void TestStartup::survivesEscapingExceptions_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("warnings");
    QTest::newRow("AppException") << u"app"_s
                                  << QStringList {
                                         " - W - Caught AppException -  \"AppException: slot failed\\n  at "};
    QTest::newRow("int") << u"int"_s
                         << QStringList {" - W - Caught unknown exception - at ",
                                         " - W - Unknown exception type:  \"i\" - at "};
}

void TestStartup::survivesEscapingExceptions()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, warnings);
    QProcess process;
    const qint64 pid = start(process, QStringLiteral(QUILLET_SURVIVOR_EXE), {kind});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QString text = log(pid);
    for (const QString& warning : warnings)
        QVERIFY2(text.contains(warning), qPrintable(text));
    QVERIFY(text.indexOf(warnings.first()) < text.indexOf(u"later timer fired"_s));
    QVERIFY(text.contains(u"Quillet Tray is exiting with exit code: 0"_s));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
