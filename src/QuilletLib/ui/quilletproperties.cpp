#include "quilletproperties.h"

#include "appexception.h"

#include <QApplication>
#include <QFile>

namespace {
QString readUtf8(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QString text = QString::fromUtf8(file.readAll());
    file.close();
    return text;
}
} // namespace

QuilletProperties* QuilletProperties::instance()
{
    // Created once and kept even when the style sheet fails, so a broken theme is
    // reported to the first caller only instead of on every dialog.
    static QuilletProperties* properties = nullptr;
    if (!properties) {
        properties = new QuilletProperties();
        properties->applyDefaultStyleSheet();
    }
    return properties;
}

QString QuilletProperties::themePath() const
{
    return m_themePath;
}

void QuilletProperties::setTheme(const QString& theme)
{
    const QString name = theme.toLower();
    if (name == QLatin1String("light"))
        m_themePath = QStringLiteral(":/Themes/LightTheme");
    else if (name == QLatin1String("dark"))
        m_themePath = QStringLiteral(":/Themes/DarkTheme");
    else
        throw APP_EXCEPTION(QStringLiteral("Unknown Quillet theme: ") + theme,
                            QObject::tr("GeneralExceptionMessage"));
}

void QuilletProperties::applyDefaultStyleSheet()
{
    const QString path = m_themePath + QStringLiteral("Style");
    if (!QFile::exists(path))
        throw APP_EXCEPTION(QStringLiteral("Stylesheet file is missing!"),
                            QObject::tr("GeneralExceptionMessage"));
    const QString styleSheet = readUtf8(path);
    if (styleSheet.isEmpty())
        throw APP_EXCEPTION(QStringLiteral("Unable to load default style sheet"),
                            QObject::tr("GeneralExceptionMessage"));
    setStylesheet(styleSheet);
}

void QuilletProperties::setStylesheet(const QString& styleSheet)
{
    const QString buttons = readUtf8(m_themePath + QStringLiteral("Buttons"));
    if (buttons.isEmpty())
        throw APP_EXCEPTION(QStringLiteral("Unable to load default style sheet for buttons"),
                            QObject::tr("GeneralExceptionMessage"));
    qApp->setStyleSheet(styleSheet + buttons);
}
