#include "startupaction.h"

#include "msgbox.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace {
const QString desktopEntryFileName = QStringLiteral("eu.kestrum.Quillet.desktop");
const QByteArray autostartKey = QByteArrayLiteral("X-GNOME-Autostart-enabled=");
const QByteArray trueValue = QByteArrayLiteral("true");
const QByteArray falseValue = QByteArrayLiteral("false");

QString installedEntryPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../share/applications/")
        + desktopEntryFileName;
}

void showGeneralError()
{
    MsgBox::showError(nullptr, QObject::tr("AppName"), QObject::tr("GeneralError"));
}

// Only a prefix is compared, without regard to case, so "TRUE" and "trueish" count as true.
bool valueAt(const QByteArray& contents, qsizetype at, const QByteArray& value)
{
    return contents.mid(at, value.size()).toLower() == value;
}
} // namespace

StartupAction::StartupAction(QObject* parent)
    : QAction(QObject::tr("Startup"), parent)
{
    setCheckable(true);
    connect(this, &QAction::triggered, this, &StartupAction::onTriggered);
}

StartupState StartupAction::startupState()
{
    const QString dir = QStandardPaths::locate(
        QStandardPaths::HomeLocation, QStringLiteral(".config/autostart/"), QStandardPaths::LocateDirectory);
    const QString path = QDir::cleanPath(dir + QLatin1Char('/') + desktopEntryFileName);
    QFile file(path);
    if (dir.isEmpty() || !file.exists()) {
        qWarning() << "File doesn't exist" << path;
        return StartupState::Disabled;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Unable to open file" << path;
        return StartupState::Undetermined;
    }
    const QByteArray contents = file.readAll();
    file.close();

    const qsizetype at = contents.indexOf(autostartKey);
    if (at < 0) {
        qInfo() << "Unable to find X-GNOME-Autostart-enabled in file" << path;
        return StartupState::Enabled;
    }
    const qsizetype valueStart = at + autostartKey.size();
    if (valueAt(contents, valueStart, trueValue))
        return StartupState::Enabled;
    if (valueAt(contents, valueStart, falseValue))
        return StartupState::Disabled;
    return StartupState::Undetermined;
}

void StartupAction::update()
{
    try {
        qInfo() << "Updating startup action";
        const StartupState state = startupState();
        if (state == StartupState::Undetermined) {
            qWarning() << "Unable to get startup data";
            showGeneralError();
        }
        setChecked(state == StartupState::Enabled);
    } catch (...) {
        qWarning() << "Unable to get startup data";
        showGeneralError();
    }
}

void StartupAction::setState(bool enable)
{
    qInfo() << "Startup action will be set to:" << (enable ? "Enabled" : "Disabled");

    const QString home
        = QStandardPaths::locate(QStandardPaths::HomeLocation, QString(), QStandardPaths::LocateDirectory);
    if (home.isEmpty()) {
        qWarning() << "Unable to find home location";
        return;
    }

    // Only the autostart directory itself is made; a missing ~/.config means an
    // unusual home that is better left alone.
    QDir configDir(QDir::cleanPath(home + QStringLiteral("/.config")));
    if (!configDir.exists(QStringLiteral("autostart/")) && !configDir.mkdir(QStringLiteral("autostart/"))) {
        qWarning() << "Unable to create dir autostart in" << configDir.path();
        return;
    }

    const QString target = configDir.filePath(QStringLiteral("autostart/") + desktopEntryFileName);
    QFile file(target);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadWrite)) {
            qWarning() << "Unable to open file" << target;
            return;
        }
        QByteArray contents = file.readAll();
        const qsizetype at = contents.indexOf(autostartKey);
        if (at < 0) {
            qWarning() << "Unable to find X-GNOME-Autostart-enabled in file" << target;
            file.close();
            // An entry without the key is active; disabling it means taking it away.
            if (!enable && !file.remove())
                qWarning() << "Unable to remove startup file";
            return;
        }
        const qsizetype valueStart = at + autostartKey.size();
        if (valueAt(contents, valueStart, trueValue) && !enable)
            contents.replace(valueStart, trueValue.size(), falseValue);
        if (valueAt(contents, valueStart, falseValue) && enable)
            contents.replace(valueStart, falseValue.size(), trueValue);

        if (!file.seek(0)) {
            qWarning() << "Unable to get back at beginning of file";
            file.close();
            return;
        }
        // The contents may have become one byte shorter: cut the file where they end.
        if (file.write(contents) != contents.size() || !file.resize(contents.size()))
            qWarning() << "Writing error occured:" << file.errorString();
        file.close();
        return;
    }

    if (enable) {
        const QString source = installedEntryPath();
        if (!QFile::copy(source, target))
            qWarning().nospace() << "Unable to copy startup file " << source << " into " << target;
    }
}

void StartupAction::onTriggered(bool enable)
{
    try {
        qInfo() << "Startup triggered";
        setState(enable);
        const StartupState state = startupState();
        if (state == (enable ? StartupState::Enabled : StartupState::Disabled))
            return;
        qWarning() << "Unable to set startup value";
        showGeneralError();
    } catch (...) {
        qWarning() << "Unable to set startup value";
        showGeneralError();
    }
}
