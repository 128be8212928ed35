#include <QDirIterator>
#include <QRegularExpression>
#include <QTranslator>
#include <QtTest>

using namespace Qt::StringLiterals;

// Every text the program shows has a translation in both languages: the keys handed to tr() in
// the sources (context "QObject"); the texts are keys, so a missing one shows as a key.
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
        QDirIterator it(QStringLiteral(QUILLET_SOURCE_DIR "/src"), {u"*.cpp"_s, u"*.h"_s}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            for (auto m = trCall.globalMatch(QString::fromUtf8(file.readAll())); m.hasNext();) {
                const QString key = m.next().captured(1).replace(u"\\n"_s, u"\n"_s);
                if (translator.translate("QObject", key.toUtf8()).isEmpty())
                    missing.append(key);
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
