#include "originpolicy.h"

#include <QHostAddress>
#include <QUrl>

namespace {
const QLatin1String wildcardPrefix("https://*.");

int defaultPort(const QString& scheme)
{
    if (scheme == QLatin1String("https"))
        return 443;
    if (scheme == QLatin1String("http"))
        return 80;
    return -1;
}
} // namespace

OriginPolicy::OriginPolicy(const QStringList& entries)
{
    for (const QString& entry : entries) {
        if (const std::optional<Origin> origin = parse(entry, true))
            m_entries.append(*origin);
        else
            m_invalidEntries.append(entry);
    }
}

bool OriginPolicy::allows(const QString& origin) const
{
    const std::optional<Origin> page = parse(origin, false);
    if (!page)
        return false;
    for (const Origin& entry : m_entries) {
        if (entry.scheme != page->scheme || entry.port != page->port)
            continue;
        if (entry.subdomains ? page->host.endsWith(QLatin1Char('.') + entry.host) : page->host == entry.host)
            return true;
    }
    return false;
}

std::optional<OriginPolicy::Origin> OriginPolicy::parse(const QString& text, bool wildcardAllowed)
{
    Origin origin;
    QString address = text;
    if (wildcardAllowed && text.startsWith(wildcardPrefix, Qt::CaseInsensitive)) {
        origin.subdomains = true;
        address = QStringLiteral("https://") + text.mid(wildcardPrefix.size());
    }
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()
        || url.host().contains(QLatin1Char('*')) || !url.userInfo().isEmpty() || url.hasQuery()
        || url.hasFragment())
        return std::nullopt;
    if (!url.path().isEmpty() && url.path() != QLatin1String("/"))
        return std::nullopt;
    origin.scheme = url.scheme().toLower();
    // Browsers send international names in their ASCII form.
    origin.host = url.host(QUrl::EncodeUnicode).toLower();
    origin.port = url.port(defaultPort(origin.scheme));
    // A wildcard stands for the subdomains of one named host: not of an address, nor of a
    // top-level domain such as *.com.
    if (origin.subdomains
        && (!QHostAddress(origin.host).isNull() || !origin.host.contains(QLatin1Char('.'))
            || origin.host.startsWith(QLatin1Char('.'))))
        return std::nullopt;
    return origin;
}
