#pragma once

#include "version.h"

#include <QString>

#include <memory>

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
    Version version() const;
    QString url() const;
    QString downloadUrl() const;

private:
    void deserialize(QFile& file);
    void readQuilletTray(QXmlStreamReader& reader);
    void readQuilletUpdater(QXmlStreamReader& reader);
    void ensureLoaded() const;

    bool m_loaded = false;
    bool m_checkUser = true;
    std::unique_ptr<Version> m_version;
    QString m_url;
    QString m_downloadUrl;
};
