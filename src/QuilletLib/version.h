#pragma once

#include <QList>
#include <QString>

// A dotted version number, compared component by component.
class Version
{
public:
    explicit Version(const QString& text);

    bool operator<(const Version& other) const;
    QString toString(int parts = -1) const;
    QList<int> components() const { return m_components; }

private:
    QList<int> m_components;
};
