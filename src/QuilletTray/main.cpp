#include "logger.h"
#include "qtrayapp.h"
#include "startup.h"

#include <QCommandLineParser>
#include <QDebug>
#include <QDir>
#include <QSysInfo>
#include <QTranslator>

#include <memory>

int main(int argc, char** argv)
{
    enableLogging(QStringLiteral("QuilletTrayLog.txt"));
    Q_INIT_RESOURCE(themes);
    Q_INIT_RESOURCE(images);

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
        } else {
            QApplication::setQuitOnLastWindowClosed(false);
            exitCode = runEventLoop();
            Q_CLEANUP_RESOURCE(images);
            Q_CLEANUP_RESOURCE(themes);
            qInfo() << "Quillet Tray is exiting with exit code:" << exitCode;
        }

        translator.reset();
        parser.reset();
        arguments.reset();
        app.reset();
    }
    return exitCode;
}
