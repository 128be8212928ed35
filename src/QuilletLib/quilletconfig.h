#pragma once

#include "appexception.h"
#include "version.h"

#include <memory>
#include <optional>
#include <QList>
#include <QString>
#include <QStringList>

class QFile;
class QXmlStreamReader;

// Installation-wide settings from etc/Quillet.conf. Every user reloads the file right
// before reading a value, so edits take effect without a restart; a file that has not changed
// since it was last read is not read again.
class QuilletConfig
{
public:
    // The process-wide object. Separate objects exist only in tests, which need a
    // fresh, never loaded configuration.
    static QuilletConfig* instance();
    QuilletConfig() = default;

    void loadConfig();

    bool checkUser() const;
    // Reads the file again and tells whether the user check is on. A file that can't be read
    // leaves it on, so a broken edit never lets another user's program in; that is logged
    // unless quiet.
    static bool userCheckIsOn(bool quiet = false);
    Version version() const;
    QString url() const;
    QString downloadUrl() const;
    // The Origin texts of AllowedOrigins in the QuilletTray section, as written; no value when
    // the newest readable file has no AllowedOrigins. A file that fails to load leaves the list
    // of the last good one in force, so a broken edit never opens the tray to every site.
    std::optional<QStringList> allowedOrigins() const;
    // How many pages may hold a session at once: MaxSessions in the QuilletTray section.
    int maxSessions() const;
    static constexpr int defaultMaxSessions = 64;
    // How many of them one origin may hold: MaxSessionsPerOrigin, by default half of them, so
    // that one site can't take every session.
    int maxSessionsPerOrigin() const;

private:
    void readFile(const QString& path, const QString& dir);
    void deserialize(QFile& file);
    void readQuilletTray(QXmlStreamReader& reader);
    void readQuilletUpdater(QXmlStreamReader& reader);
    void readAllowedOrigins(QXmlStreamReader& reader);
    void ensureLoaded() const;

    bool m_loaded = false;
    bool m_checkUser = true;
    int m_maxSessions = defaultMaxSessions;
    int m_maxSessionsPerOrigin = 0;
    std::unique_ptr<Version> m_version;
    QString m_url;
    QString m_downloadUrl;
    std::optional<QStringList> m_allowedOrigins;
    // What the load in progress has met; it becomes m_allowedOrigins when the load succeeds.
    std::optional<QStringList> m_readAllowedOrigins;
    // The path, identity, size and times of the file as it was last read, and how that ended.
    QString m_readPath;
    QList<qint64> m_readStamp;
    std::optional<AppException> m_readError;
};
