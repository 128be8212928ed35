#include <QDirIterator>
#include <QRegularExpression>
#include <QTranslator>
#include <QtTest>
#include <QXmlStreamReader>

using namespace Qt::StringLiterals;

// Every text the program shows has a translation in both languages: the keys handed to tr()
// in the sources (context "QObject") and the texts of the forms (their form's context).
class TestTranslations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyKeyIsTranslated_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("English") << u"en"_s;
        QTest::newRow("Slovak") << u"sk"_s;
    }

    void everyKeyIsTranslated()
    {
        QFETCH(QString, language);
        QTranslator translator;
        QVERIFY(translator.load(u"QuilletTray_"_s + language, QStringLiteral(QUILLET_QM_DIR)));
        const QRegularExpression trCall(
            QStringLiteral("(?<![\\w.>:])(?:QObject::)?tr\\(\\s*\"((?:[^\"\\\\]|\\\\.)*)\""));
        QStringList missing;
        const auto check = [&](const QString& context, const QString& key) {
            if (translator.translate(context.toUtf8(), key.toUtf8()).isEmpty())
                missing.append(context + u"::"_s + key);
        };
        QDirIterator it(QStringLiteral(QUILLET_SOURCE_DIR "/src"), {u"*.cpp"_s, u"*.h"_s, u"*.ui"_s},
                        QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            if (!file.fileName().endsWith(u".ui"_s)) {
                for (auto m = trCall.globalMatch(QString::fromUtf8(file.readAll())); m.hasNext();)
                    check(u"QObject"_s, m.next().captured(1).replace(u"\\n"_s, u"\n"_s));
                continue;
            }
            QXmlStreamReader form(&file);
            QString context;
            while (form.readNextStartElement() || !form.atEnd()) {
                if (!form.isStartElement())
                    continue;
                if (form.name() == u"class"_s && context.isEmpty())
                    context = form.readElementText();
                else if (form.name() == u"string"_s && form.attributes().value(u"notr"_s) != u"true"_s) {
                    const QString text = form.readElementText();
                    if (!text.isEmpty())
                        check(context, text);
                }
            }
        }
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(u", "_s)));
        // The version goes into these texts.
        for (const char* key : {"AppVersion", "NewVersion."})
            QVERIFY2(translator.translate("QObject", key).contains(u"%1"_s), key);
    }
};

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
