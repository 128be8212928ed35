#include "quillettray.h"

#include "appexception.h"
#include "logger.h"
#include "msgbox.h"
#include "quilletconfig.h"

#include <QApplication>
#include <QDate>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QTimer>

namespace {
// Until a system tray appears, look again this often.
constexpr int systemTrayRetryMs = 10000;
// The daily schedule: the first check 15 minutes after a day begins for the tray, a look
// at the calendar every 6 hours, one retry of a failed check after 30 seconds.
constexpr int checkDelayMs = 15 * 60 * 1000;
constexpr int loopDelayMs = 6 * 60 * 60 * 1000;
constexpr int retryDelayMs = 30 * 1000;
// The updater program asks the tray to end with this code, in either kind of check.
constexpr int exitTrayCode = 4;

// Lines for the result codes that mean the same from the silent check and from the
// updater program; null for the others.
const char* sharedResultLine(int code)
{
    switch (code) {
    case 0:
        return "QuilletUpdater exited correctly without message for QuilletTray";
    case 2:
        return "QuilletUpdater found new version of Quillet";
    case 3:
        return "QuilletUpdater thinks Quillet has actual version";
    case exitTrayCode:
        return "QuilletUpdater returned code to exit QuilletTray";
    default:
        return nullptr;
    }
}
} // namespace

QuilletTray::QuilletTray(QWidget* parent, const QString& languageCode)
    : QuilletTray(parent, languageCode, ScheduleDelays {checkDelayMs, loopDelayMs, retryDelayMs})
{
}

QuilletTray::QuilletTray(QWidget* parent, const QString& languageCode, const ScheduleDelays& delays)
    : QSystemTrayIcon(parent)
    , aboutAction(QObject::tr("&About"), this)
    , quitAction(QObject::tr("&Quit"), this)
    , checkVersionAction(QObject::tr("&CheckVersion"), this)
    , startupAction(this)
    , diagnosticMenu(&trayMenu)
    , settingsMenu(QObject::tr("SettingsMenu"), &trayMenu)
    , language(languageCode)
    , checkDelay(delays.checkDelay)
    , loopDelay(delays.loopDelay)
    , retryDelay(delays.retryDelay)
    , updaterErrorCount(0)
    , maxUpdaterErrors(2)
    , ports({2378, 3546, 4384, 5147, 5692, 6378, 7678, 7681, 9799, 9796})
    , updateStampName(QStringLiteral("update.stamp"))
    , firstRunStampName(QStringLiteral("firstrun.stamp"))
    , portBinder(serverCommunicator, ports)
    , panelWatch([this] {
        return !exiting && serverCommunicator.isIdle() && updaterProcess.state() == QProcess::NotRunning
            && MsgBox::openBoxes().isEmpty();
    })
{
    qInfo() << "QuilletTray class is being constructed";

    // The updater script is started relative to the program's directory.
    QDir::setCurrent(QCoreApplication::applicationDirPath());

    connect(&trayMenu, &QMenu::aboutToShow, this, &QuilletTray::onActivated);
    connect(&aboutAction, &QAction::triggered, this, &QuilletTray::showAbout);
    connect(&quitAction, &QAction::triggered, this, [this] { exitTray(0); });
    connect(&checkVersionAction, &QAction::triggered, this, &QuilletTray::checkNewVersionGui);
    // Queued: each step of the schedule runs from the event loop, after the code that
    // ended the previous step has returned.
    connect(this, &QuilletTray::checkNewDay, this, &QuilletTray::onCheckNewDay, Qt::QueuedConnection);
    connect(&updaterLib, &UpdaterLib::updaterResult, this, &QuilletTray::updaterFinished,
            Qt::QueuedConnection);
    connect(&updaterProcess, &QProcess::finished, this, &QuilletTray::updaterGuiFinished,
            Qt::QueuedConnection);

    trayMenu.addAction(&aboutAction);
    trayMenu.addSeparator();
    trayMenu.addAction(&checkVersionAction);
    trayMenu.addMenu(&diagnosticMenu);
    settingsMenu.addAction(&startupAction);
    trayMenu.addMenu(&settingsMenu);
    trayMenu.addSeparator();
    trayMenu.addAction(&quitAction);

    updaterProcess.setProgram(QStringLiteral("./QuilletUpdater.sh"));
    updaterProcess.setArguments({QStringLiteral("-l") + language, QStringLiteral("-g")});

    setContextMenu(&trayMenu);
    setIcon(QIcon(QStringLiteral(":/Images/icon")));
    setToolTip(QObject::tr("Quillet"));

    emit checkNewDay();

    if (isFirstRun())
        startupAction.setState(true);
}

QuilletTray::~QuilletTray()
{
    // Finishes every open box, the about box included, and keeps new ones from showing.
    MsgBox::setTerminating(true);
    aboutDialogCleanup(0);
    // An updater still running goes with the tray.
    if (updaterProcess.state() != QProcess::NotRunning) {
        updaterProcess.kill();
        updaterProcess.waitForFinished();
    }
}

void QuilletTray::registerToSystemTrayWhenAvailable()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        setVisible(true);
        return;
    }
    panelWatch.look();
    QTimer::singleShot(systemTrayRetryMs, this, &QuilletTray::registerToSystemTrayWhenAvailable);
}

void QuilletTray::startWebSocketServer()
{
    portBinder.bind();
}

void QuilletTray::showAbout()
{
    if (!aboutDialog) {
        QString versionText;
        try {
            QuilletConfig* config = QuilletConfig::instance();
            config->loadConfig();
            versionText = config->version().toString(3);
        } catch (AppException& error) {
            // A menu action must not let a broken configuration escape into the event loop.
            qWarning() << error.generalMessage();
            MsgBox::showError(nullptr, QObject::tr("AppName"), error);
            return;
        }
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

void QuilletTray::checkNewVersionGui()
{
    if (updaterProcess.state() == QProcess::NotRunning) {
        qInfo() << "Starting QuilletUpdater in GUI mode";
        updaterProcess.start(QIODevice::ReadWrite);
    }
    lastCheckDate = today();
}

void QuilletTray::checkNewVersionSilently()
{
    qInfo() << "Starting UpdaterLib";
    updaterLib.startVersionCheck();
}

void QuilletTray::onCheckNewDay()
{
    qInfo() << "Entering check new day";
    if (lastCheckDate.isValid() && lastCheckDate == today()) {
        qInfo() << "Setting up loop check timer up to ->" << loopDelay;
        QTimer::singleShot(loopDelay, Qt::PreciseTimer, this, &QuilletTray::onCheckNewDay);
    } else {
        qInfo() << "Setting up delay version check up to ->" << checkDelay;
        QTimer::singleShot(checkDelay, Qt::PreciseTimer, this, &QuilletTray::checkNewVersionSilently);
    }
}

void QuilletTray::updaterFinished(int exitCode)
{
    switch (exitCode) {
    case 0:
    case 3:
        qInfo() << sharedResultLine(exitCode);
        updaterErrorCount = 0;
        break;
    case 1:
        ++updaterErrorCount;
        qInfo() << "Updater error count:" << updaterErrorCount;
        if (updaterErrorCount < maxUpdaterErrors) {
            QTimer::singleShot(retryDelay, Qt::PreciseTimer, this, &QuilletTray::checkNewVersionSilently);
            return;
        }
        // Checks that keep failing may mean a tray too old to talk to the server:
        // once a month the user meets the updater program, which explains itself.
        if (isNewMonth()) {
            updaterErrorCount = 0;
            checkNewVersionGui();
        }
        break;
    case 2:
        qInfo() << sharedResultLine(exitCode);
        checkNewVersionGui();
        updaterErrorCount = 0;
        break;
    case exitTrayCode:
        qInfo() << sharedResultLine(exitCode);
        exitTray(0);
        break;
    default:
        qInfo() << "QuilletUpdater exited with unknown code: " << QString::number(exitCode);
        break;
    }
    finishDay();
}

void QuilletTray::updaterGuiFinished(int exitCode)
{
    if (exitCode == 1)
        qInfo() << "QuilletUpdater ended with Error";
    else if (const char* line = sharedResultLine(exitCode))
        qInfo() << line;
    else
        qInfo() << "QuilletUpdater exited with unknown code: " << QString::number(exitCode);
    if (exitCode == exitTrayCode)
        exitTray(0);
}

void QuilletTray::exitTray(int exitCode)
{
    if (exiting) {
        qWarning() << "Asked again to exit: ending now";
        serverCommunicator.killSigners();
        QCoreApplication::exit(exitCode);
        return;
    }
    exiting = true;
    qInfo() << "Exiting with code" << exitCode << "once the pages are closed and the signers have ended";
    connect(&serverCommunicator, &ServerCommunicator::stopped, this,
            [exitCode] { QCoreApplication::exit(exitCode); });
    serverCommunicator.shutdown();
}

void QuilletTray::finishDay()
{
    lastCheckDate = today();
    emit checkNewDay();
}

QDate QuilletTray::today() const
{
    return QDate::currentDate();
}

QString QuilletTray::stampPath(const QString& name) const
{
    const QString dataDir = dataDirectory();
    QDir dir(dataDir);
    if (!dir.exists() && !dir.mkpath(QStringLiteral(".")))
        qWarning() << "Couldn't make quillet dir in " << dataDir;
    return QFileInfo(QDir::cleanPath(dataDir) + QStringLiteral("/") + name).absoluteFilePath();
}

bool QuilletTray::isFirstRun()
{
    const QString stamp = stampPath(firstRunStampName);
    if (QFile::exists(stamp))
        return false;

    qInfo() << "Quillet Tray is running for the first time";
    remakeFile(stamp);
    return true;
}

bool QuilletTray::isNewMonth()
{
    const QString stamp = stampPath(updateStampName);
    const QFileInfo info(stamp);
    // Only the month counts, not the year. Without a birth time the date is invalid,
    // its month 0, so every question finds a new month.
    if (info.exists() && info.birthTime().date().month() == today().month())
        return false;

    remakeFile(stamp);
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
