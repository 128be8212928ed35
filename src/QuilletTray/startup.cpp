#include "startup.h"

#include "buildinfo.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLocale>

QString checkSystemLanguage()
{
    qInfo() << "Checking system language";
    return QLocale::system().language() == QLocale::Slovak ? QStringLiteral("sk") : QStringLiteral("en");
}

QString applicationVersionText()
{
    return QStringLiteral("%1 (%2)").arg(QStringLiteral(QUILLET_VERSION), QStringLiteral(QUILLET_REVISION));
}

int runEventLoop()
{
    for (;;) {
        try {
            return QCoreApplication::exec();
        } catch (...) {
            // Logged by QTrayApp::notify; carry on serving.
        }
    }
}
