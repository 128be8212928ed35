#pragma once

#include "diagnosticmenu.h"
#include "servercommunicator.h"
#include "startupaction.h"

#include <QAction>
#include <QList>
#include <QMenu>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

class MsgBox;

// The tray icon and everything it offers: the context menu with the about box, the
// diagnostic and settings submenus and quit, the local WebSocket server and the
// first-run stamp. One exists for the whole run of the program.
class QuilletTray : public QSystemTrayIcon
{
    Q_OBJECT

public:
    QuilletTray(QWidget* parent, const QString& languageCode);
    ~QuilletTray() override;

    bool isFirstRun();
    void remakeFile(const QString& path);

public Q_SLOTS:
    void registerToSystemTrayWhenAvailable();
    void startWebSocketServer();
    void showAbout();
    void onActivated();
    void aboutDialogCleanup(int result);

private:
    QAction aboutAction;
    QAction quitAction;
    StartupAction startupAction;
    QMenu trayMenu;
    DiagnosticMenu diagnosticMenu;
    QMenu settingsMenu;
    QString language;
    ServerCommunicator serverCommunicator;
    const QList<quint16> ports;
    const QString firstRunStampName;
    // A box deletes itself when closed by its own button, so the pointer must not dangle.
    QPointer<MsgBox> aboutDialog;
};
