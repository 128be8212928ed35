#pragma once

#include "version.h"

#include <memory>
#include <optional>
#include <QString>
#include <QStringList>

class QFile;
class QXmlStreamReader;

// Installation-wide settings from etc/Quillet.conf. Every user reloads the file right
// before reading a value, so edits take effect without a restart.
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
    // leaves it on, so a broken edit never lets another user's program in.
    static bool userCheckIsOn();
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

private:
    void deserialize(QFile& file);
    void readQuilletTray(QXmlStreamReader& reader);
    void readQuilletUpdater(QXmlStreamReader& reader);
    void readAllowedOrigins(QXmlStreamReader& reader);
    void ensureLoaded() const;

    bool m_loaded = false;
    bool m_checkUser = true;
    int m_maxSessions = defaultMaxSessions;
    std::unique_ptr<Version> m_version;
    QString m_url;
    QString m_downloadUrl;
    std::optional<QStringList> m_allowedOrigins;
    // What the load in progress has met; it becomes m_allowedOrigins when the load succeeds.
    std::optional<QStringList> m_readAllowedOrigins;
};
