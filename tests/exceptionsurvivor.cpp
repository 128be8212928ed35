// Test helper: runs the tray's event loop while slots throw, to show that the
// program logs the exception and keeps serving.
#include "appexception.h"
#include "logger.h"
#include "qtrayapp.h"
#include "startup.h"

#include <QTimer>

int main(int argc, char** argv)
{
    enableLogging(QStringLiteral("QuilletTrayLog.txt"));
    QTrayApp app(argc, argv);
    const QString kind = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("app");

    QTimer::singleShot(10, &app, [kind] {
        if (kind == QLatin1String("int"))
            throw 42;
        throw APP_EXCEPTION(QStringLiteral("slot failed"), QString());
    });
    QTimer::singleShot(100, &app, [] { qInfo() << "later timer fired"; });
    QTimer::singleShot(150, &app, &QCoreApplication::quit);

    const int exitCode = runEventLoop();
    qInfo() << "Quillet Tray is exiting with exit code:" << exitCode;
    return exitCode;
}
