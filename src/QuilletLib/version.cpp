#include "version.h"

#include <QStringList>

Version::Version(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    m_components.reserve(parts.size());
    for (const QString& part : parts) {
        bool ok = false;
        const int value = part.toInt(&ok, 10);
        m_components.append(ok ? value : 0);
    }
}

bool Version::operator<(const Version& other) const
{
    const qsizetype n = qMin(m_components.size(), other.m_components.size());
    for (qsizetype i = 0; i < n; ++i) {
        if (m_components.at(i) > other.m_components.at(i))
            return false;
        if (m_components.at(i) < other.m_components.at(i))
            return true;
    }
    return m_components.size() < other.m_components.size();
}

QString Version::toString(int parts) const
{
    if (parts == -1)
        parts = static_cast<int>(m_components.size());
    QString text;
    for (int i = 0; i < parts; ++i) {
        if (i > 0)
            text += QLatin1Char('.');
        text += QString::number(i < m_components.size() ? m_components.at(i) : 0);
    }
    return text;
}
