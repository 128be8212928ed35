#include "appexception.h"
#include "quilletproperties.h"

#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QIcon>
#include <QImageReader>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextEdit>
#include <QtTest>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {
QString readResource(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QList<QSize> imageSizes(const QString& path)
{
    QImageReader reader(path);
    QList<QSize> sizes;
    // Single images count as 0 or 1, depending on the format.
    for (int i = 0; i < qMax(reader.imageCount(), 1) && (i == 0 || reader.jumpToImage(i)); ++i)
        sizes.append(reader.read().size());
    return sizes;
}
} // namespace

class TestQuilletProperties : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void firstInstanceInstallsLightSheets();
    void setTheme_data();
    void setTheme();
    void themes_data();
    void themes();
};

// Runs first (QtTest keeps declaration order) while the process has no style sheet.
void TestQuilletProperties::firstInstanceInstallsLightSheets()
{
    QVERIFY(qApp->styleSheet().isEmpty());
    QuilletProperties* properties = QuilletProperties::instance();
    const QString sheets
        = readResource(u":/Themes/LightThemeStyle"_s) + readResource(u":/Themes/LightThemeButtons"_s);
    QCOMPARE(qApp->styleSheet(), sheets);
    QCOMPARE(properties->themePath(), u":/Themes/LightTheme"_s);

    // A later call must not install the sheets again over whatever is in force.
    qApp->setStyleSheet(u"QLabel { color: red; }"_s);
    QCOMPARE(QuilletProperties::instance(), properties);
    QCOMPARE(qApp->styleSheet(), u"QLabel { color: red; }"_s);
    qApp->setStyleSheet(sheets);
}

void TestQuilletProperties::setTheme_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected"); // empty: refused, the theme stays
    QTest::newRow("DARK") << u"light"_s << u"DARK"_s << u":/Themes/DarkTheme"_s;
    QTest::newRow("LiGhT from dark") << u"dark"_s << u"LiGhT"_s << u":/Themes/LightTheme"_s;
    QTest::newRow("Blue keeps dark") << u"dark"_s << u"Blue"_s << QString();
    QTest::newRow("empty") << u"light"_s << QString() << QString();
    QTest::newRow("padded") << u"dark"_s << u" light"_s << QString();
}

void TestQuilletProperties::setTheme()
{
    QFETCH(QString, start);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QuilletProperties properties;
    properties.setTheme(start);
    const QString before = properties.themePath();
    const QString sheets = qApp->styleSheet();
    try {
        properties.setTheme(name);
        QVERIFY2(!expected.isEmpty(), "an unknown theme was accepted");
    } catch (const AppException& e) {
        QVERIFY(expected.isEmpty());
        QCOMPARE(e.generalMessage(), u"Unknown Quillet theme: "_s + name);
    }
    QCOMPARE(properties.themePath(), expected.isEmpty() ? before : expected);
    // Selecting a theme does not restyle the running application.
    QCOMPARE(qApp->styleSheet(), sheets);
}

void TestQuilletProperties::themes_data()
{
    QTest::addColumn<QString>("theme");
    QTest::newRow("light") << u"Light"_s;
    QTest::newRow("dark") << u"Dark"_s;
}

// Each theme installs its two sheets, Qt parses and applies them, and the artwork they
// and the dialogs use is there.
void TestQuilletProperties::themes()
{
    QFETCH(QString, theme);
    QuilletProperties properties;
    properties.setTheme(theme);
    const QString prefix = u":/Themes/%1Theme"_s.arg(theme);
    QCOMPARE(properties.themePath(), prefix);
    QTest::failOnWarning(
        QRegularExpression(u"parse|stylesheet"_s, QRegularExpression::CaseInsensitiveOption));
    properties.applyDefaultStyleSheet();
    const QString style = readResource(prefix + u"Style"_s);
    const QString buttons = readResource(prefix + u"Buttons"_s);
    QVERIFY(!style.isEmpty() && !buttons.isEmpty());
    QCOMPARE(qApp->styleSheet(), style + buttons);

    QDialog dialog;
    auto* layout = new QVBoxLayout(&dialog);
    auto* button = new QPushButton(u"OK"_s, &dialog);
    button->setDefault(true);
    for (QWidget* widget : QList<QWidget*> {button, new QComboBox(&dialog), new QTextEdit(&dialog),
                                            new QScrollBar(Qt::Vertical, &dialog)})
        layout->addWidget(widget);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    // The default button's green comes from the theme, not from the platform style.
    const QColor face = button->grab().toImage().pixelColor(button->width() / 2, 2);
    QVERIFY2(face.green() > face.red() + 60, qPrintable(face.name()));
    QuilletProperties().applyDefaultStyleSheet();

    // Vector icons draw on a transparent background, and QIcon picks their engine by content.
    for (const char* icon : {"close", "maximize", "restore", "minimalize", "connection", "msgError",
                             "msgSuccess", "btnDetails"}) {
        const QString path = prefix + u'/' + QLatin1String(icon);
        QImageReader reader(path);
        QCOMPARE(reader.format(), QByteArray("svg"));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull() && image.pixelColor(0, 0).alpha() == 0, icon);
        QVERIFY(!QIcon(path).pixmap(12, 12).isNull());
    }
    QCOMPARE(imageSizes(prefix + u"/QLIcon"_s), QList<QSize> {QSize(150, 38)});
    // The message box shows the icon file's second image.
    const QList<QSize> ico = imageSizes(prefix + u"/ico"_s);
    QCOMPARE(ico.size(), 6);
    QCOMPARE(ico.mid(0, 2), QList<QSize>({QSize(256, 256), QSize(64, 64)}));

    // Arrows drawn through url() must point into the sheet's own theme and exist there.
    int count = 0;
    for (auto it = QRegularExpression(u"url\\(([^)]*)\\)"_s).globalMatch(style + buttons); it.hasNext();
         ++count) {
        const QString path = it.next().captured(1).trimmed();
        QVERIFY2(path.startsWith(prefix + u'/'), qPrintable(path));
        QVERIFY2(!QImageReader(path).read().isNull(), qPrintable(path));
    }
    QVERIFY(count >= 5);
}

QTEST_MAIN(TestQuilletProperties)
#include "tst_quilletproperties.moc"
