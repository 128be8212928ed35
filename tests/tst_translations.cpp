#include <QDirIterator>
#include <QRegularExpression>
#include <QTranslator>
#include <QtTest>
#include <QXmlStreamReader>

namespace {
struct Key
{
    QString context;
    QString source;
};

// Every text the code hands to tr() is a key in the "QObject" context; form texts
// are keys in their form's own context.
QList<Key> keysUsedInSources()
{
    QList<Key> keys;
    const QRegularExpression trCall(
        QStringLiteral("(?<![\\w.>:])(?:QObject::)?tr\\(\\s*\"((?:[^\"\\\\]|\\\\.)*)\""));
    QDirIterator it(QStringLiteral(QUILLET_SOURCE_DIR "/src"),
                    {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(file.readAll());
        auto matches = trCall.globalMatch(text);
        while (matches.hasNext())
            keys.append(
                {QStringLiteral("QObject"), matches.next().captured(1).replace(QStringLiteral("\\n"), "\n")});
    }
    QDirIterator forms(QStringLiteral(QUILLET_SOURCE_DIR "/src"), {QStringLiteral("*.ui")}, QDir::Files,
                       QDirIterator::Subdirectories);
    while (forms.hasNext()) {
        QFile file(forms.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QXmlStreamReader reader(&file);
        QString context;
        while (!reader.atEnd()) {
            reader.readNext();
            if (!reader.isStartElement())
                continue;
            if (reader.name() == QLatin1String("class") && context.isEmpty()) {
                context = reader.readElementText();
            } else if (reader.name() == QLatin1String("string")
                       && reader.attributes().value(QLatin1String("notr")) != QLatin1String("true")) {
                const QString source = reader.readElementText();
                if (!source.isEmpty())
                    keys.append({context, source});
            }
        }
    }
    return keys;
}
} // namespace

class TestTranslations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyKeyIsTranslated_data();
    void everyKeyIsTranslated();
    void placeholdersSurvive_data();
    void placeholdersSurvive();
};

void TestTranslations::everyKeyIsTranslated_data()
{
    QTest::addColumn<QString>("language");
    QTest::newRow("English") << "en";
    QTest::newRow("Slovak") << "sk";
}

void TestTranslations::everyKeyIsTranslated()
{
    QFETCH(QString, language);
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral("QuilletTray_") + language, QStringLiteral(QUILLET_QM_DIR)));

    const QList<Key> keys = keysUsedInSources();
    QStringList missing;
    for (const Key& key : keys) {
        if (translator.translate(key.context.toUtf8().constData(), key.source.toUtf8().constData()).isEmpty())
            missing.append(key.context + QStringLiteral("::") + key.source);
    }
    missing.removeDuplicates();
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QStringLiteral(", "))));
}

void TestTranslations::placeholdersSurvive_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("key");
    for (const char* language : {"en", "sk"}) {
        for (const char* key : {"AppVersion", "NewVersion."})
            QTest::addRow("%s %s", language, key) << language << key;
    }
}

void TestTranslations::placeholdersSurvive()
{
    QFETCH(QString, language);
    QFETCH(QString, key);
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral("QuilletTray_") + language, QStringLiteral(QUILLET_QM_DIR)));
    QVERIFY(translator.translate("QObject", key.toUtf8().constData()).contains(QStringLiteral("%1")));
}

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
