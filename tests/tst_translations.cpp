#include <QDirIterator>
#include <QRegularExpression>
#include <QTranslator>
#include <QtTest>
#include <QXmlStreamReader>

namespace {
// "context::source" of every text the program translates: what the code hands to tr() is
// a key in the "QObject" context, form texts are keys in their form's own context.
QStringList keysUsedInSources()
{
    QStringList keys;
    const QRegularExpression trCall(
        QStringLiteral("(?<![\\w.>:])(?:QObject::)?tr\\(\\s*\"((?:[^\"\\\\]|\\\\.)*)\""));
    QDirIterator it(QStringLiteral(QUILLET_SOURCE_DIR "/src"),
                    {QStringLiteral("*.cpp"), QStringLiteral("*.h"), QStringLiteral("*.ui")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        if (!file.fileName().endsWith(QLatin1String(".ui"))) {
            auto matches = trCall.globalMatch(QString::fromUtf8(file.readAll()));
            while (matches.hasNext())
                keys.append(QStringLiteral("QObject::")
                            + matches.next().captured(1).replace(QStringLiteral("\\n"), "\n"));
            continue;
        }
        QXmlStreamReader reader(&file);
        QString context;
        while (!reader.atEnd()) {
            if (reader.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (reader.name() == QLatin1String("class") && context.isEmpty())
                context = reader.readElementText();
            else if (reader.name() == QLatin1String("string")
                     && reader.attributes().value(QLatin1String("notr")) != QLatin1String("true"))
                keys.append(context + QStringLiteral("::") + reader.readElementText());
        }
    }
    keys.removeIf([](const QString& key) { return key.endsWith(QLatin1String("::")); });
    keys.removeDuplicates();
    return keys;
}
} // namespace

class TestTranslations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyKeyIsTranslated_data();
    void everyKeyIsTranslated();
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

    const QStringList keys = keysUsedInSources();
    QVERIFY(keys.contains(QStringLiteral("QObject::AppVersion")));
    QStringList missing;
    for (const QString& key : keys) {
        const QString context = key.section(QStringLiteral("::"), 0, 0);
        const QString source = key.section(QStringLiteral("::"), 1);
        if (translator.translate(context.toUtf8().constData(), source.toUtf8().constData()).isEmpty())
            missing.append(key);
    }
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QStringLiteral(", "))));
    // The version goes into these texts.
    for (const char* key : {"AppVersion", "NewVersion."})
        QVERIFY2(translator.translate("QObject", key).contains(QStringLiteral("%1")), key);
}

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
