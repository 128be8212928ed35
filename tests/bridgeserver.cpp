// Test helper: the tray's bridge in a process of its own, with the tray's application object
// and event loop, so that exceptions escaping to the application object behave as in the
// tray. Listens on the port given as the first argument, in the current directory.
#include "logger.h"
#include "qtrayapp.h"
#include "servercommunicator.h"
#include "startup.h"

#include <cstdio>

int main(int argc, char** argv)
{
    enableLogging(QStringLiteral("QuilletTrayLog.txt"));
    QTrayApp app(argc, argv);
    ServerCommunicator server;
    if (argc < 2 || !server.startListening(quint16(QByteArray(argv[1]).toUInt())))
        return 1;
    std::puts("listening");
    std::fflush(stdout);
    return runEventLoop();
}
