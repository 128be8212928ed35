#include "fuzzcheck.h"

#include <QtGlobal>

void silenceQtMessages()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}
