#include "quillettray.h"

#include "logger.h"
#include "msgbox.h"
#include "quilletconfig.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QTimer>

namespace {
// Until a system tray appears, look again this often.
constexpr int systemTrayRetryMs = 10000;
} // namespace

QuilletTray::QuilletTray(QWidget* parent, const QString& languageCode)
    : QSystemTrayIcon(parent)
    , aboutAction(QObject::tr("&About"), this)
    , quitAction(QObject::tr("&Quit"), this)
    , startupAction(this)
    , diagnosticMenu(&trayMenu)
    , settingsMenu(QObject::tr("SettingsMenu"), &trayMenu)
    , language(languageCode)
    , ports({2378, 3546, 4384, 5147, 5692, 6378, 7678, 7681, 9799, 9796})
    , firstRunStampName(QStringLiteral("firstrun.stamp"))
{
    qInfo() << "QuilletTray class is being constructed";

    QDir::setCurrent(QCoreApplication::applicationDirPath());

    connect(&trayMenu, &QMenu::aboutToShow, this, &QuilletTray::onActivated);
    connect(&aboutAction, &QAction::triggered, this, &QuilletTray::showAbout);
    connect(&quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);

    trayMenu.addAction(&aboutAction);
    trayMenu.addSeparator();
    trayMenu.addMenu(&diagnosticMenu);
    settingsMenu.addAction(&startupAction);
    trayMenu.addMenu(&settingsMenu);
    trayMenu.addSeparator();
    trayMenu.addAction(&quitAction);

    setContextMenu(&trayMenu);
    setIcon(QIcon(QStringLiteral(":/Images/icon")));
    setToolTip(QObject::tr("Quillet"));

    if (isFirstRun())
        startupAction.setState(true);
}

QuilletTray::~QuilletTray()
{
    // Finishes every open box, the about box included, and keeps new ones from showing.
    MsgBox::setTerminating(true);
    aboutDialogCleanup(0);
}

void QuilletTray::registerToSystemTrayWhenAvailable()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        setVisible(true);
        return;
    }
    QTimer::singleShot(systemTrayRetryMs, this, &QuilletTray::registerToSystemTrayWhenAvailable);
}

void QuilletTray::startWebSocketServer()
{
    for (const quint16 port : ports) {
        if (serverCommunicator.startListening(port))
            return;
        qWarning() << "Unable to listen on specified address and port";
    }
    qWarning() << "No port of the list could be bound; the tray runs without its WebSocket server";
}

void QuilletTray::showAbout()
{
    if (!aboutDialog) {
        QuilletConfig* config = QuilletConfig::instance();
        config->loadConfig();
        const QString versionText = config->version().toString(3);
        aboutDialog = MsgBox::aboutDialog(nullptr, QObject::tr("AppName"),
                                          QObject::tr("AppVersion").arg(versionText));
        if (!aboutDialog)
            return;
        connect(aboutDialog, &QDialog::finished, this, &QuilletTray::aboutDialogCleanup,
                Qt::QueuedConnection);
    }
    aboutDialog->show();
    if (!aboutDialog->isActiveWindow()) {
        aboutDialog->setWindowState((aboutDialog->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        aboutDialog->raise();
        aboutDialog->activateWindow();
    }
}

void QuilletTray::onActivated()
{
    qInfo() << "Quillet Tray was activated";
    startupAction.update();
}

void QuilletTray::aboutDialogCleanup(int)
{
    if (!aboutDialog)
        return;
    MsgBox::unregisterMsgBox(aboutDialog);
    delete aboutDialog;
    aboutDialog = nullptr;
}

bool QuilletTray::isFirstRun()
{
    const QString dataDir = dataDirectory();
    QDir dir(dataDir);
    if (!dir.exists() && !dir.mkpath(QStringLiteral(".")))
        qWarning() << "Couldn't make quillet dir in " << dataDir;

    const QString stampPath = QDir::cleanPath(dataDir) + QStringLiteral("/") + firstRunStampName;
    if (QFile::exists(stampPath))
        return false;

    qInfo() << "Quillet Tray is running for the first time";
    remakeFile(QFileInfo(stampPath).absoluteFilePath());
    return true;
}

void QuilletTray::remakeFile(const QString& path)
{
    qInfo() << "Overriding file: " << path;
    QFile::remove(path);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.close();
        qInfo() << "Override is successful";
    }
}
