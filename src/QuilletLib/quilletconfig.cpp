#include "quilletconfig.h"

#include "appexception.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QXmlStreamReader>
#include <sys/stat.h>

namespace {
// What tells an edited file from the one read before; empty when there is no file.
QList<qint64> fileStamp(const QString& path)
{
    struct stat info;
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return {qint64(info.st_dev),         qint64(info.st_ino),          qint64(info.st_size),
            qint64(info.st_mtim.tv_sec), qint64(info.st_mtim.tv_nsec), qint64(info.st_ctim.tv_sec),
            qint64(info.st_ctim.tv_nsec)};
}
} // namespace

QuilletConfig* QuilletConfig::instance()
{
    static QuilletConfig* config = new QuilletConfig();
    return config;
}

void QuilletConfig::loadConfig()
{
    const QString dir = QDir::currentPath() + QStringLiteral("/") + QStringLiteral("../etc/");
    const QString path = dir + QStringLiteral("Quillet.conf");
    // Read for every page that connects: a file that is still the one read last time gives
    // the same values, or the same error, without being read again.
    const QList<qint64> stamp = fileStamp(path);
    if (!stamp.isEmpty() && stamp == m_readStamp && path == m_readPath) {
        if (m_readError)
            throw *m_readError;
        return;
    }
    m_readPath = path;
    m_readStamp = stamp;
    m_readError.reset();
    try {
        readFile(path, dir);
    } catch (const AppException& error) {
        m_readError = error;
        throw;
    }
}

void QuilletConfig::readFile(const QString& path, const QString& dir)
{
    QFile file(path);
    if (!file.exists())
        throw APP_EXCEPTION(QStringLiteral("Unable to find Quillet config in: ") + dir, QString());
    if (!file.open(QIODevice::ReadOnly))
        throw APP_EXCEPTION(QStringLiteral("Unable to open Quillet config in: ") + dir, QString());
    // QFile closes itself when it leaves scope, also while an exception passes through.
    deserialize(file);
    file.close();
}

void QuilletConfig::deserialize(QFile& file)
{
    QXmlStreamReader reader(&file);
    m_readAllowedOrigins.reset();
    m_maxSessions = defaultMaxSessions;
    m_maxSessionsPerOrigin = 0;
    bool trayFound = false;
    bool updaterFound = false;
    while (!reader.atEnd() && !reader.hasError()) {
        reader.readNext();
        if (!reader.isStartElement())
            continue;
        if (reader.name() == QLatin1String("QuilletTray")) {
            readQuilletTray(reader);
            trayFound = true;
        } else if (reader.name() == QLatin1String("QuilletUpdater")) {
            readQuilletUpdater(reader);
            updaterFound = true;
        }
    }
    if (reader.hasError())
        throw APP_EXCEPTION(QStringLiteral("Xml stream error: ") + reader.errorString(), QString());
    if (!trayFound)
        throw APP_EXCEPTION(QStringLiteral("Missing config for QuilletTray"), QString());
    if (!updaterFound)
        throw APP_EXCEPTION(QStringLiteral("Missing config for QuilletUpdater"), QString());
    m_allowedOrigins = m_readAllowedOrigins;
    m_loaded = true;
}

void QuilletConfig::readQuilletTray(QXmlStreamReader& reader)
{
    if (reader.hasError())
        throw APP_EXCEPTION(QStringLiteral("Xml stream error: ") + reader.errorString(), QString());
    bool found = false;
    while (!reader.atEnd() && !reader.hasError()) {
        reader.readNext();
        if (!reader.isStartElement()) {
            if (reader.name() == QLatin1String("QuilletTray"))
                break;
            continue;
        }
        if (reader.name() == QLatin1String("CheckUser")) {
            const QString text = reader.readElementText().trimmed().toLower();
            m_checkUser = text != QLatin1String("false");
            found = true;
        } else if (reader.name() == QLatin1String("AllowedOrigins")) {
            readAllowedOrigins(reader);
        } else if (reader.name() == QLatin1String("MaxSessions")) {
            bool ok = false;
            const int value = reader.readElementText().trimmed().toInt(&ok);
            m_maxSessions = ok && value > 0 ? value : defaultMaxSessions;
        } else if (reader.name() == QLatin1String("MaxSessionsPerOrigin")) {
            bool ok = false;
            const int value = reader.readElementText().trimmed().toInt(&ok);
            m_maxSessionsPerOrigin = ok && value > 0 ? value : 0;
        }
    }
    if (reader.hasError())
        throw APP_EXCEPTION(QStringLiteral("Xml stream error: ") + reader.errorString(), QString());
    if (!found)
        throw APP_EXCEPTION(QStringLiteral("Missing element: CheckUser"), QString());
}

void QuilletConfig::readAllowedOrigins(QXmlStreamReader& reader)
{
    // An element met later replaces the list, as with every other value.
    QStringList origins;
    while (!reader.atEnd() && !reader.hasError()) {
        reader.readNext();
        if (!reader.isStartElement()) {
            if (reader.name() == QLatin1String("AllowedOrigins"))
                break;
            continue;
        }
        if (reader.name() == QLatin1String("Origin")) {
            const QString origin = reader.readElementText().trimmed();
            if (!origin.isEmpty())
                origins.append(origin);
        }
    }
    m_readAllowedOrigins = origins;
}

void QuilletConfig::readQuilletUpdater(QXmlStreamReader& reader)
{
    if (reader.hasError())
        throw APP_EXCEPTION(QStringLiteral("Xml stream error: ") + reader.errorString(), QString());
    while (!reader.atEnd() && !reader.hasError()) {
        reader.readNext();
        if (!reader.isStartElement()) {
            if (reader.name() == QLatin1String("QuilletUpdater"))
                break;
            continue;
        }
        if (reader.name() == QLatin1String("Url"))
            m_url = reader.readElementText().trimmed();
        else if (reader.name() == QLatin1String("Version"))
            m_version = std::make_unique<Version>(reader.readElementText().trimmed());
        else if (reader.name() == QLatin1String("DownloadUrl"))
            m_downloadUrl = reader.readElementText().trimmed();
    }
    if (m_url.isEmpty())
        throw APP_EXCEPTION(QStringLiteral("Missing element: Url"), QString());
    if (!m_version)
        throw APP_EXCEPTION(QStringLiteral("Missing element: Version"), QString());
    if (m_downloadUrl.isEmpty())
        throw APP_EXCEPTION(QStringLiteral("Missing element: DownloadUrl"), QString());
}

void QuilletConfig::ensureLoaded() const
{
    if (!m_loaded)
        throw APP_EXCEPTION(QStringLiteral("Config wasn't loaded!"), QString());
}

int QuilletConfig::maxSessions() const
{
    ensureLoaded();
    return m_maxSessions;
}

int QuilletConfig::maxSessionsPerOrigin() const
{
    ensureLoaded();
    return m_maxSessionsPerOrigin > 0 ? m_maxSessionsPerOrigin : qMax(1, m_maxSessions / 2);
}

bool QuilletConfig::checkUser() const
{
    ensureLoaded();
    return m_checkUser;
}

bool QuilletConfig::userCheckIsOn(bool quiet)
{
    try {
        instance()->loadConfig();
        return instance()->checkUser();
    } catch (const AppException& error) {
        if (!quiet)
            qWarning() << error.generalMessage();
        return true;
    }
}

Version QuilletConfig::version() const
{
    ensureLoaded();
    return *m_version;
}

QString QuilletConfig::url() const
{
    ensureLoaded();
    return m_url;
}

QString QuilletConfig::downloadUrl() const
{
    ensureLoaded();
    return m_downloadUrl;
}

std::optional<QStringList> QuilletConfig::allowedOrigins() const
{
    ensureLoaded();
    return m_allowedOrigins;
}
