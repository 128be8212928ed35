#pragma once

#include "diagnosticmenu.h"
#include "panelwatch.h"
#include "portbinder.h"
#include "servercommunicator.h"
#include "startupaction.h"
#include "updaterlib.h"

#include <QAction>
#include <QDate>
#include <QList>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QSystemTrayIcon>

class MsgBox;

// The tray icon and everything it offers: the context menu with the about box, the
// version check, the diagnostic and settings submenus and quit, the local WebSocket
// server, the daily update schedule and the stamp files. One exists for the whole run
// of the program.
class QuilletTray : public QSystemTrayIcon
{
    Q_OBJECT

public:
    QuilletTray(QWidget* parent, const QString& languageCode);
    ~QuilletTray() override;

    bool isFirstRun();
    void remakeFile(const QString& path);
    // True when the update stamp is missing or was made in another calendar month
    // than today; the stamp is then made anew.
    bool isNewMonth();

Q_SIGNALS:
    void checkNewDay();

public Q_SLOTS:
    void registerToSystemTrayWhenAvailable();
    void startWebSocketServer();
    void checkNewVersionGui();
    void checkNewVersionSilently();
    void onCheckNewDay();
    void updaterFinished(int exitCode);
    void updaterGuiFinished(int exitCode);
    void showAbout();
    void onActivated();
    void aboutDialogCleanup(int result);
    // The one way out, for Quit, the updater's request and the termination signals: closes
    // every page, lets the signers end, then leaves the event loop with the code. Asked again
    // meanwhile, it ends at once.
    void exitTray(int exitCode);

protected:
    // The schedule's intervals in milliseconds. Only tests choose other ones than the
    // program's fixed intervals, so that a day passes in moments.
    struct ScheduleDelays
    {
        int checkDelay;
        int loopDelay;
        int retryDelay;
    };
    QuilletTray(QWidget* parent, const QString& languageCode, const ScheduleDelays& delays);

    // The schedule's calendar; tests move it on to another day or month.
    virtual QDate today() const;

private:
    // The day's check is done: look again at the calendar later.
    void finishDay();
    // The absolute path of a stamp file in the data directory, which is made if missing.
    QString stampPath(const QString& name) const;

    QAction aboutAction;
    QAction quitAction;
    QAction checkVersionAction;
    StartupAction startupAction;
    QMenu trayMenu;
    DiagnosticMenu diagnosticMenu;
    QMenu settingsMenu;
    QString language;
    QProcess updaterProcess;
    UpdaterLib updaterLib;
    // The day of the last finished check; a null date is never today.
    QDate lastCheckDate;
    const int checkDelay;
    const int loopDelay;
    const int retryDelay;
    int updaterErrorCount;
    const int maxUpdaterErrors;
    ServerCommunicator serverCommunicator;
    const QList<quint16> ports;
    const QString updateStampName;
    const QString firstRunStampName;
    // A box deletes itself when closed by its own button, so the pointer must not dangle.
    QPointer<MsgBox> aboutDialog;
    bool exiting = false;
    PortBinder portBinder;
    PanelWatch panelWatch;
};
