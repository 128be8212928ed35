#pragma once

#include <QString>

// Process-wide user-interface settings: the active theme, as the resource prefix under
// which every themed icon and style sheet is found.
class QuilletProperties
{
public:
    // The process-wide object; its first use installs the theme's application style
    // sheet. Separate objects exist only in tests.
    static QuilletProperties* instance();
    QuilletProperties() = default;

    QString themePath() const;
    // "light" or "dark", in any case. Changes the prefix only; style sheets stay as installed.
    void setTheme(const QString& theme);
    void applyDefaultStyleSheet();
    // Installs styleSheet followed by the theme's supplementary sheet for the whole application.
    void setStylesheet(const QString& styleSheet);

private:
    QString m_themePath = QStringLiteral(":/Themes/LightTheme");
};
