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
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
} // namespace

class TestQuilletProperties : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void firstInstanceInstallsLightSheets();
    void setTheme_data();
    void setTheme();
    void applyInstallsThemeSheets_data();
    void applyInstallsThemeSheets();
    void resources_data();
    void resources();
    void trayIcon();
    void sheetImagesExist_data();
    void sheetImagesExist();
};

// Runs first (QtTest keeps declaration order) while the process has no style sheet.
void TestQuilletProperties::firstInstanceInstallsLightSheets()
{
    QVERIFY(qApp->styleSheet().isEmpty());
    QuilletProperties* properties = QuilletProperties::instance();
    const QString sheets = readResource(QStringLiteral(":/Themes/LightThemeStyle"))
        + readResource(QStringLiteral(":/Themes/LightThemeButtons"));
    QCOMPARE(qApp->styleSheet(), sheets);
    QCOMPARE(properties->themePath(), QStringLiteral(":/Themes/LightTheme"));

    // A later call must not install the sheets again over whatever is in force.
    qApp->setStyleSheet(QStringLiteral("QLabel { color: red; }"));
    QCOMPARE(QuilletProperties::instance(), properties);
    QCOMPARE(qApp->styleSheet(), QStringLiteral("QLabel { color: red; }"));
    qApp->setStyleSheet(sheets);
}

void TestQuilletProperties::setTheme_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected"); // empty: refused, the theme stays
    QTest::newRow("dark") << "light"
                          << "dark"
                          << ":/Themes/DarkTheme";
    QTest::newRow("DARK") << "light"
                          << "DARK"
                          << ":/Themes/DarkTheme";
    QTest::newRow("LiGhT from dark") << "dark"
                                     << "LiGhT"
                                     << ":/Themes/LightTheme";
    QTest::newRow("Blue keeps dark") << "dark"
                                     << "Blue"
                                     << "";
    QTest::newRow("empty") << "light"
                           << ""
                           << "";
    QTest::newRow("darker") << "light"
                            << "darker"
                            << "";
    QTest::newRow("padded") << "dark"
                            << " light"
                            << "";
    QTest::newRow("path") << "light"
                          << ":/Themes/DarkTheme"
                          << "";
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
        QCOMPARE(e.generalMessage(), QStringLiteral("Unknown Quillet theme: ") + name);
        QCOMPARE(e.detailMessage(), QObject::tr("GeneralExceptionMessage"));
    }
    QCOMPARE(properties.themePath(), expected.isEmpty() ? before : expected);
    // Selecting a theme does not restyle the running application.
    QCOMPARE(qApp->styleSheet(), sheets);
}

void TestQuilletProperties::applyInstallsThemeSheets_data()
{
    QTest::addColumn<QString>("theme");
    QTest::newRow("light") << "Light";
    QTest::newRow("dark") << "Dark";
}

// Each theme installs its two sheets, themed paths are plain concatenations, and Qt can
// parse and apply the sheets to the kinds of widget the dialogs and the tray menu use.
void TestQuilletProperties::applyInstallsThemeSheets()
{
    QFETCH(QString, theme);
    QuilletProperties properties;
    properties.setTheme(theme);
    const QString prefix = QStringLiteral(":/Themes/%1Theme").arg(theme);
    QCOMPARE(properties.themePath(), prefix);
    QTest::failOnWarning(
        QRegularExpression(QStringLiteral("parse|stylesheet"), QRegularExpression::CaseInsensitiveOption));
    properties.applyDefaultStyleSheet();
    const QString style = readResource(properties.themePath() + QStringLiteral("Style"));
    const QString buttons = readResource(properties.themePath() + QStringLiteral("Buttons"));
    QVERIFY(!style.isEmpty() && !buttons.isEmpty());
    QCOMPARE(qApp->styleSheet(), style + buttons);

    QDialog dialog;
    auto* layout = new QVBoxLayout(&dialog);
    auto* button = new QPushButton(QStringLiteral("OK"), &dialog);
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
}

void TestQuilletProperties::resources_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QList<QSize>>("sizes"); // of the first images; empty for vector art
    for (const char* theme : {"LightTheme", "DarkTheme"}) {
        for (const char* icon : {"close", "maximize", "restore", "minimalize", "connection", "msgError",
                                 "msgSuccess", "btnDetails"})
            QTest::addRow("%s %s", theme, icon)
                << QStringLiteral(":/Themes/%1/%2").arg(theme, icon) << QByteArray("svg") << QList<QSize>();
        QTest::addRow("%s QLIcon", theme) << QStringLiteral(":/Themes/%1/QLIcon").arg(theme)
                                          << QByteArray("png") << QList<QSize> {QSize(150, 38)};
        QTest::addRow("%s ico", theme) << QStringLiteral(":/Themes/%1/ico").arg(theme) << QByteArray("ico")
                                       << QList<QSize> {QSize(256, 256), QSize(64, 64)};
    }
}

void TestQuilletProperties::resources()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, format);
    QFETCH(QList<QSize>, sizes);
    QImageReader reader(path);
    QCOMPARE(reader.format(), format);
    if (format == "ico")
        QCOMPARE(reader.imageCount(), 6);
    for (int i = 0; i < sizes.size(); ++i) {
        QVERIFY(i == 0 || reader.jumpToImage(i));
        QCOMPARE(reader.read().size(), sizes.at(i));
    }
    if (!sizes.isEmpty())
        return;
    // Vector icons draw on a transparent background, and QIcon picks their engine by content.
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    QVERIFY(!QIcon(path).pixmap(12, 12).isNull());
}

void TestQuilletProperties::trayIcon()
{
    QImageReader reader(QStringLiteral(":/Images/icon"));
    QCOMPARE(reader.format(), QByteArray("ico"));
    QList<int> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QCOMPARE(image.width(), image.height());
        sizes.append(image.width());
    }
    std::sort(sizes.begin(), sizes.end());
    QCOMPARE(sizes, QList<int>({16, 24, 32, 48, 64, 256}));
    QCOMPARE(QIcon(QStringLiteral(":/Images/icon")).pixmap(16, 16).size(), QSize(16, 16));
}

void TestQuilletProperties::sheetImagesExist_data()
{
    QTest::addColumn<QString>("theme");
    QTest::addColumn<QString>("sheet");
    for (const char* theme : {"Light", "Dark"}) {
        for (const char* part : {"Style", "Buttons"})
            QTest::addRow("%s %s", theme, part) << QString::fromLatin1(theme) << QString::fromLatin1(part);
    }
}

// Arrows drawn through url() must point into the sheet's own theme and exist there.
void TestQuilletProperties::sheetImagesExist()
{
    QFETCH(QString, theme);
    QFETCH(QString, sheet);
    const QString themeDir = QStringLiteral(":/Themes/%1Theme/").arg(theme);
    auto matches = QRegularExpression(QStringLiteral("url\\(([^)]*)\\)"))
                       .globalMatch(readResource(themeDir.chopped(1) + sheet));
    int count = 0;
    for (; matches.hasNext(); ++count) {
        const QString path = matches.next().captured(1).trimmed();
        QVERIFY2(path.startsWith(themeDir), qPrintable(path));
        QVERIFY2(!QImageReader(path).read().isNull(), qPrintable(path));
    }
    QVERIFY(sheet == QLatin1String("Style") || count >= 5);
}

QTEST_MAIN(TestQuilletProperties)
#include "tst_quilletproperties.moc"
