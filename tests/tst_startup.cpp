#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Runs the real program from a copied install tree, with its own data directory.
class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void missingTranslations();
    void startsFromAnotherDirectory_data();
    void startsFromAnotherDirectory();
    void helpAndVersion_data();
    void helpAndVersion();
    void survivesEscapingExceptions_data();
    void survivesEscapingExceptions();

private:
    QProcessEnvironment environment(const QString& language) const;
    QString log() const;
    bool waitForLog(const QString& text, int timeoutMs = 20000) const;
    void stop(QProcess& process);

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_exe;
};

void TestStartup::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    const QDir root(m_root->path());
    for (const char* dir : {"bin", "etc", "share/translations", "data/Kestrum/Quillet/Logs", "home", "cwd"})
        QVERIFY(root.mkpath(QString::fromLatin1(dir)));
    m_exe = root.filePath(QStringLiteral("bin/QuilletTray"));
    QVERIFY(QFile::copy(QStringLiteral(QUILLET_TRAY_EXE), m_exe));
    for (const char* language : {"en", "sk"}) {
        const QString name = QStringLiteral("QuilletTray_%1.qm").arg(QLatin1String(language));
        QVERIFY(QFile::copy(QStringLiteral(QUILLET_QM_DIR "/") + name, root.filePath("share/translations/" + name)));
    }
    QVERIFY(QFile::copy(QStringLiteral(QUILLET_SOURCE_DIR "/etc/Quillet.conf"), root.filePath("etc/Quillet.conf")));
    QFile logFile(root.filePath(QStringLiteral("data/Kestrum/Quillet/Logs/QuilletTrayLog.txt")));
    QVERIFY(logFile.open(QIODevice::WriteOnly));
}

QProcessEnvironment TestStartup::environment(const QString& language) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_root->filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_root->filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("LANGUAGE"));
    env.remove(QStringLiteral("LC_MESSAGES"));
    env.insert(QStringLiteral("LC_ALL"), language);
    env.insert(QStringLiteral("LANG"), language);
    return env;
}

QString TestStartup::log() const
{
    QFile file(m_root->filePath(QStringLiteral("data/Kestrum/Quillet/Logs/QuilletTrayLog.txt")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool TestStartup::waitForLog(const QString& text, int timeoutMs) const
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (log().contains(text))
            return true;
        QTest::qWait(50);
    }
    return false;
}

void TestStartup::stop(QProcess& process)
{
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

void TestStartup::missingTranslations()
{
    QVERIFY(QDir(m_root->filePath(QStringLiteral("share/translations"))).removeRecursively());
    QProcess process;
    process.setProcessEnvironment(environment(QStringLiteral("en_US.UTF-8")));
    process.start(m_exe, {});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    const QStringList lines = log().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.last().contains(QStringLiteral(" - I - Could not find language package. - at ")),
             qPrintable(lines.last()));
    QVERIFY(!log().contains(QStringLiteral("exiting with exit code")));
}

void TestStartup::startsFromAnotherDirectory_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("language");

    QTest::newRow("English, no arguments") << "en_US.UTF-8" << QStringList() << "en";
    QTest::newRow("German falls back to English") << "de_DE.UTF-8" << QStringList() << "en";
    QTest::newRow("Slovak, two arguments") << "sk_SK.UTF-8" << QStringList{"one", "two words"} << "sk";
}

void TestStartup::startsFromAnotherDirectory()
{
    QFETCH(QString, locale);
    QFETCH(QStringList, arguments);
    QFETCH(QString, language);

    QProcess process;
    process.setProcessEnvironment(environment(locale));
    process.setWorkingDirectory(m_root->filePath(QStringLiteral("cwd")));
    process.start(m_exe, arguments);
    QVERIFY(process.waitForStarted());
    QVERIFY2(waitForLog(QStringLiteral("System language was found:  \"%1\"").arg(language)), qPrintable(log()));
    QTest::qWait(300);
    QCOMPARE(process.state(), QProcess::Running);
    stop(process);

    const QString text = log();
    QVERIFY(text.contains(QStringLiteral("Starting app:  \"QuilletTray\" \"2.6.1 (")));
    QVERIFY(text.contains(QStringLiteral("Qt build version:  " QT_VERSION_STR)));
    QVERIFY(text.contains(QStringLiteral("Qt runtime version:  ")));
    QVERIFY(text.contains(QStringLiteral(" - I - OS type:  \"")));
    QVERIFY(text.contains(QStringLiteral("Checking system language")));
    QVERIFY(!text.contains(QStringLiteral("Could not find language package.")));
    if (arguments.isEmpty()) {
        QVERIFY(!text.contains(QStringLiteral("with arguments: ")));
    } else {
        QVERIFY2(text.contains(QStringLiteral(" - I - with arguments:  QList(\"one\", \"two words\") - at ")),
                 qPrintable(text));
    }
    const QRegularExpression version(QStringLiteral(R"re("2\.6\.1 \(([0-9a-f]{40})\)")re"));
    QVERIFY(version.match(text).hasMatch());
}

void TestStartup::helpAndVersion_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");
    QTest::newRow("--version") << "--version" << "QuilletTray 2.6.1 (";
    QTest::newRow("--help") << "--help" << "--version";
}

void TestStartup::helpAndVersion()
{
    QFETCH(QString, option);
    QFETCH(QString, expected);
    QProcess process;
    process.setProcessEnvironment(environment(QStringLiteral("en_US.UTF-8")));
    process.start(m_exe, {option});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(QString::fromLocal8Bit(process.readAllStandardOutput()).contains(expected),
             qPrintable(QString::fromLocal8Bit(process.readAllStandardError())));
}

void TestStartup::survivesEscapingExceptions_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("warnings");
    QTest::newRow("AppException") << "app" << QStringList{" - W - Caught AppException -  \"AppException: slot failed\\n  at "};
    QTest::newRow("int") << "int"
                         << QStringList{" - W - Caught unknown exception - at ",
                                        " - W - Unknown exception type:  \"i\" - at "};
}

void TestStartup::survivesEscapingExceptions()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, warnings);
    QProcess process;
    process.setProcessEnvironment(environment(QStringLiteral("en_US.UTF-8")));
    process.start(QStringLiteral(QUILLET_SURVIVOR_EXE), {kind});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QString text = log();
    for (const QString& warning : warnings)
        QVERIFY2(text.contains(warning), qPrintable(text));
    QVERIFY(text.indexOf(warnings.first()) < text.indexOf(QStringLiteral("later timer fired")));
    QVERIFY(text.contains(QStringLiteral("Quillet Tray is exiting with exit code: 0")));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
