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

namespace {
QString readResource(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

const char* const themeIcons[]
    = {"close", "maximize", "restore", "minimalize", "connection", "msgError", "msgSuccess", "btnDetails"};
} // namespace

class TestQuilletProperties : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void firstInstanceInstallsLightSheets();
    void setTheme_data();
    void setTheme();
    void unknownTheme_data();
    void unknownTheme();
    void themedPaths_data();
    void themedPaths();
    void applyInstallsThemeSheets_data();
    void applyInstallsThemeSheets();
    void svgIcons_data();
    void svgIcons();
    void logo_data();
    void logo();
    void applicationIcon_data();
    void applicationIcon();
    void trayIcon();
    void sheetImagesExist_data();
    void sheetImagesExist();
};

// Runs first (QtTest keeps declaration order) while the process has no style sheet.
void TestQuilletProperties::firstInstanceInstallsLightSheets()
{
    QVERIFY(qApp->styleSheet().isEmpty());
    QuilletProperties* properties = QuilletProperties::instance();
    const QString style = readResource(QStringLiteral(":/Themes/LightThemeStyle"));
    const QString buttons = readResource(QStringLiteral(":/Themes/LightThemeButtons"));
    QVERIFY(!style.isEmpty());
    QVERIFY(!buttons.isEmpty());
    QCOMPARE(qApp->styleSheet(), style + buttons);
    QCOMPARE(properties->themePath(), QStringLiteral(":/Themes/LightTheme"));

    // A later call must not install the sheets again over whatever is in force.
    const QString other = QStringLiteral("QLabel { color: red; }");
    qApp->setStyleSheet(other);
    QCOMPARE(QuilletProperties::instance(), properties);
    QCOMPARE(qApp->styleSheet(), other);
    qApp->setStyleSheet(style + buttons);
}

void TestQuilletProperties::setTheme_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("dark") << "light"
                          << "dark"
                          << ":/Themes/DarkTheme";
    QTest::newRow("DARK") << "light"
                          << "DARK"
                          << ":/Themes/DarkTheme";
    QTest::newRow("Dark") << "light"
                          << "Dark"
                          << ":/Themes/DarkTheme";
    QTest::newRow("light from dark") << "dark"
                                     << "light"
                                     << ":/Themes/LightTheme";
    QTest::newRow("LiGhT from dark") << "dark"
                                     << "LiGhT"
                                     << ":/Themes/LightTheme";
    QTest::newRow("light again") << "light"
                                 << "light"
                                 << ":/Themes/LightTheme";
}

void TestQuilletProperties::setTheme()
{
    QFETCH(QString, start);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QuilletProperties properties;
    properties.setTheme(start);
    const QString sheets = qApp->styleSheet();
    properties.setTheme(name);
    QCOMPARE(properties.themePath(), expected);
    // Selecting a theme does not restyle the running application.
    QCOMPARE(qApp->styleSheet(), sheets);
}

void TestQuilletProperties::unknownTheme_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("name");
    QTest::newRow("blue") << "light"
                          << "blue";
    QTest::newRow("Blue keeps dark") << "dark"
                                     << "Blue";
    QTest::newRow("empty") << "light"
                           << "";
    QTest::newRow("darker") << "light"
                            << "darker";
    QTest::newRow("padded") << "dark"
                            << " light";
    QTest::newRow("path") << "light"
                          << ":/Themes/DarkTheme";
}

void TestQuilletProperties::unknownTheme()
{
    QFETCH(QString, start);
    QFETCH(QString, name);
    QuilletProperties properties;
    properties.setTheme(start);
    const QString before = properties.themePath();
    try {
        properties.setTheme(name);
        QFAIL("an unknown theme was accepted");
    } catch (const AppException& e) {
        QCOMPARE(e.generalMessage(), QStringLiteral("Unknown Quillet theme: ") + name);
        QCOMPARE(e.detailMessage(), QObject::tr("GeneralExceptionMessage"));
    }
    QCOMPARE(properties.themePath(), before);
}

void TestQuilletProperties::themedPaths_data()
{
    QTest::addColumn<QString>("theme");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("expected");
    QTest::newRow("light icon") << "light"
                                << "/msgError"
                                << ":/Themes/LightTheme/msgError";
    QTest::newRow("dark icon") << "dark"
                               << "/close"
                               << ":/Themes/DarkTheme/close";
    QTest::newRow("light style beside the directory") << "light"
                                                      << "Style"
                                                      << ":/Themes/LightThemeStyle";
    QTest::newRow("dark buttons beside the directory") << "dark"
                                                       << "Buttons"
                                                       << ":/Themes/DarkThemeButtons";
}

void TestQuilletProperties::themedPaths()
{
    QFETCH(QString, theme);
    QFETCH(QString, suffix);
    QFETCH(QString, expected);
    QuilletProperties properties;
    properties.setTheme(theme);
    QCOMPARE(properties.themePath() + suffix, expected);
    QVERIFY2(QFile::exists(expected), qPrintable(expected));
}

void TestQuilletProperties::applyInstallsThemeSheets_data()
{
    QTest::addColumn<QString>("theme");
    QTest::addColumn<QString>("prefix");
    QTest::newRow("light") << "light"
                           << ":/Themes/LightTheme";
    QTest::newRow("dark") << "dark"
                          << ":/Themes/DarkTheme";
}

// Both themes install their two sheets, and Qt can parse and apply the result to the
// kinds of widget the dialogs and the tray menu use.
void TestQuilletProperties::applyInstallsThemeSheets()
{
    QFETCH(QString, theme);
    QFETCH(QString, prefix);
    QuilletProperties properties;
    properties.setTheme(theme);
    QTest::failOnWarning(
        QRegularExpression(QStringLiteral("parse|stylesheet"), QRegularExpression::CaseInsensitiveOption));
    properties.applyDefaultStyleSheet();
    const QString style = readResource(prefix + QStringLiteral("Style"));
    const QString buttons = readResource(prefix + QStringLiteral("Buttons"));
    QCOMPARE(qApp->styleSheet(), style + buttons);
    QVERIFY(style != buttons);

    QDialog dialog;
    auto* layout = new QVBoxLayout(&dialog);
    auto* button = new QPushButton(QStringLiteral("OK"), &dialog);
    button->setDefault(true);
    layout->addWidget(button);
    layout->addWidget(new QComboBox(&dialog));
    layout->addWidget(new QScrollBar(Qt::Vertical, &dialog));
    layout->addWidget(new QTextEdit(&dialog));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    // The default button's green comes from the theme, not from the platform style.
    const QColor face = button->grab().toImage().pixelColor(button->width() / 2, 2);
    QVERIFY2(face.green() > face.red() + 60, qPrintable(face.name()));

    QuilletProperties light;
    light.applyDefaultStyleSheet();
}

void TestQuilletProperties::svgIcons_data()
{
    QTest::addColumn<QString>("path");
    for (const char* theme : {"LightTheme", "DarkTheme"}) {
        for (const char* icon : themeIcons)
            QTest::addRow("%s %s", theme, icon) << QStringLiteral(":/Themes/%1/%2").arg(theme, icon);
    }
}

void TestQuilletProperties::svgIcons()
{
    QFETCH(QString, path);
    QImageReader reader(path);
    QCOMPARE(reader.format(), QByteArray("svg"));
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    // Something is drawn, on a transparent background.
    QCOMPARE(image.hasAlphaChannel(), true);
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    // Buttons show them through QIcon, which must pick the vector engine from the content.
    QVERIFY(!QIcon(path).pixmap(12, 12).isNull());
}

void TestQuilletProperties::logo_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("light") << ":/Themes/LightTheme/QLIcon";
    QTest::newRow("dark") << ":/Themes/DarkTheme/QLIcon";
}

void TestQuilletProperties::logo()
{
    QFETCH(QString, path);
    QImageReader reader(path);
    QCOMPARE(reader.format(), QByteArray("png"));
    QCOMPARE(reader.read().size(), QSize(150, 38));
}

void TestQuilletProperties::applicationIcon_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("light") << ":/Themes/LightTheme/ico";
    QTest::newRow("dark") << ":/Themes/DarkTheme/ico";
}

void TestQuilletProperties::applicationIcon()
{
    QFETCH(QString, path);
    QImageReader reader(path, "ico");
    QCOMPARE(reader.imageCount(), 6);
    QCOMPARE(reader.read().size(), QSize(256, 256));
    QVERIFY(reader.jumpToImage(1));
    const QImage second = reader.read();
    QCOMPARE(second.size(), QSize(64, 64));
    QCOMPARE(second.pixelColor(32, 32).alpha(), 255);
}

void TestQuilletProperties::trayIcon()
{
    QImageReader reader(QStringLiteral(":/Images/icon"));
    QCOMPARE(reader.format(), QByteArray("ico"));
    QCOMPARE(reader.imageCount(), 6);
    QList<int> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QCOMPARE(image.width(), image.height());
        QCOMPARE(image.depth(), 32);
        sizes.append(image.width());
    }
    std::sort(sizes.begin(), sizes.end());
    QCOMPARE(sizes, QList<int>({16, 24, 32, 48, 64, 256}));

    const QIcon icon(QStringLiteral(":/Images/icon"));
    QCOMPARE(icon.availableSizes().size(), 6);
    QCOMPARE(icon.pixmap(16, 16).size(), QSize(16, 16));
}

void TestQuilletProperties::sheetImagesExist_data()
{
    QTest::addColumn<QString>("sheet");
    for (const char* theme : {"Light", "Dark"}) {
        for (const char* part : {"Style", "Buttons"})
            QTest::addRow("%s %s", theme, part) << QStringLiteral(":/Themes/%1Theme%2").arg(theme, part);
    }
}

// Arrows drawn through url() must point into the sheet's own theme and exist there.
void TestQuilletProperties::sheetImagesExist()
{
    QFETCH(QString, sheet);
    const QString text = readResource(sheet);
    QVERIFY(!text.isEmpty());
    const QString themeDir = sheet.left(sheet.lastIndexOf(QStringLiteral("Theme")) + 5) + QLatin1Char('/');
    const QRegularExpression url(QStringLiteral("url\\(([^)]*)\\)"));
    auto matches = url.globalMatch(text);
    int count = 0;
    while (matches.hasNext()) {
        const QString path = matches.next().captured(1).trimmed();
        QVERIFY2(path.startsWith(themeDir), qPrintable(path));
        QVERIFY2(!QImageReader(path).read().isNull(), qPrintable(path));
        ++count;
    }
    if (sheet.endsWith(QLatin1String("Buttons")))
        QVERIFY(count >= 5);
}

QTEST_MAIN(TestQuilletProperties)
#include "tst_quilletproperties.moc"
