#include "logger.h"
#include "msgbox.h"
#include "processinfo.h"
#include "qtrayapp.h"
#include "quillettray.h"
#include "singleinstanceguard.h"
#include "startup.h"

#include <memory>
#include <QCommandLineParser>
#include <QDebug>
#include <QDir>
#include <QPointer>
#include <QSysInfo>
#include <QTranslator>

int main(int argc, char** argv)
{
    enableLogging(QStringLiteral("QuilletTrayLog.txt"));
    // One tray per user: the key carries the user id in decimal.
    SingleInstanceGuard guard(QStringLiteral("QuilletTray_") + trayProcessInfo.uid());
    Q_INIT_RESOURCE(themes);
    Q_INIT_RESOURCE(images);

    // In a Wayland session the tray is a Wayland client where Qt's plugin is installed, an X11 one otherwise.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "wayland;xcb");

    int exitCode = 0;
    {
        auto app = std::make_unique<QTrayApp>(argc, argv);
        QCoreApplication::setApplicationVersion(applicationVersionText());

        qInfo() << "Starting app: " << QCoreApplication::applicationName()
                << QCoreApplication::applicationVersion();
        qInfo() << "Qt build version: " << QT_VERSION_STR;
        qInfo() << "Qt runtime version: " << qVersion();
        qInfo() << "OS type: " << QSysInfo::prettyProductName();

        auto arguments = std::make_unique<QStringList>(QCoreApplication::arguments().mid(1));
        if (!arguments->isEmpty())
            qInfo() << "with arguments: " << *arguments;

        auto parser = std::make_unique<QCommandLineParser>();
        parser->addHelpOption();
        parser->addVersionOption();
        parser->process(*app);

        QDir::setCurrent(QCoreApplication::applicationDirPath());

        auto translator = std::make_unique<QTranslator>();
        const QString language = checkSystemLanguage();
        qInfo() << "System language was found: " << language;

        if (!translator->load(QStringLiteral("../share/translations/QuilletTray_") + language)) {
            qInfo() << "Could not find language package.";
            exitCode = 1;
        } else if (!QCoreApplication::installTranslator(translator.get())) {
            qInfo() << "Launguage package is corrupted.";
            exitCode = 1;
        } else if (!guard.tryToRun()) {
            qInfo() << "QuilletTray is already running";
            // A box deletes itself when closed, hence the guarded pointer.
            QPointer<MsgBox> box
                = MsgBox::aboutDialog(nullptr, QStringLiteral("Kestrum Quillet"),
                                      QObject::tr("Kestrum Quillet is already running on this computer"));
            box->show();
            QApplication::setQuitOnLastWindowClosed(true);
            runEventLoop();
            delete box.data();
            exitCode = 1;
        } else {
            auto tray = std::make_unique<QuilletTray>(nullptr, language);
            if (!QSystemTrayIcon::isSystemTrayAvailable())
                qInfo() << "Could not detect any system tray";
            tray->registerToSystemTrayWhenAvailable();
            tray->startWebSocketServer();
            app->watchTerminationSignals();
            QObject::connect(app.get(), &QTrayApp::terminationRequested, tray.get(),
                             [&tray] { tray->exitTray(0); });
            app->setProperty("lang", language);

            QApplication::setQuitOnLastWindowClosed(false);
            exitCode = runEventLoop();
            Q_CLEANUP_RESOURCE(images);
            Q_CLEANUP_RESOURCE(themes);
            qInfo() << "Quillet Tray is exiting with exit code:" << exitCode;
            tray.reset();
        }

        translator.reset();
        parser.reset();
        arguments.reset();
        app.reset();
    }
    return exitCode;
}
