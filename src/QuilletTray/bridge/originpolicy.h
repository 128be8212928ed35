#pragma once

#include <optional>
#include <QList>
#include <QString>
#include <QStringList>

// Which web origins may open a connection to the tray. An entry is one exact origin,
// scheme://host[:port], or https://*.host[:port] for every subdomain of one host (not the
// host itself). Schemes and host names compare case-insensitively, a port left out is the
// scheme's default, and a single trailing slash is tolerated.
class OriginPolicy
{
public:
    explicit OriginPolicy(const QStringList& entries);

    // The Origin header of a handshake; an empty text (no header) and "null" never match.
    bool allows(const QString& origin) const;
    // Entries that name no origin; they allow nothing.
    QStringList invalidEntries() const { return m_invalidEntries; }

private:
    struct Origin
    {
        QString scheme;
        QString host;
        int port = -1;
        bool subdomains = false;
    };

    static std::optional<Origin> parse(const QString& text, bool wildcardAllowed);

    QList<Origin> m_entries;
    QStringList m_invalidEntries;
};
