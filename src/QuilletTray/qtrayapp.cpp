#include "qtrayapp.h"

#include "appexception.h"

#include <cerrno>
#include <csignal>
#include <cxxabi.h>
#include <exception>
#include <fcntl.h>
#include <QDebug>
#include <QSocketNotifier>
#include <QUnhandledException>
#include <typeinfo>
#include <unistd.h>

namespace {
// Written by the signal handler, read by the event loop: the handler itself does nothing else.
int signalPipe[2] = {-1, -1};

void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

QString currentExceptionTypeName()
{
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (!type)
        return QStringLiteral("null");
    const char* name = type->name();
    if (name[0] == '*')
        ++name;
    return QString::fromLatin1(name);
}
} // namespace

QTrayApp::QTrayApp(int& argc, char** argv)
    : QApplication(argc, argv)
{
}

bool QTrayApp::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const AppException& e) {
        qWarning() << "Caught AppException - " << e.toString(true);
        throw;
    } catch (const QUnhandledException& e) {
        qWarning() << "Caught QUnhandledException - " << e.what();
        throw;
    } catch (const std::exception& e) {
        qWarning() << "Caught std::exception - " << e.what();
        throw;
    } catch (...) {
        qWarning() << "Caught unknown exception";
        qWarning() << "Unknown exception type: " << currentExceptionTypeName();
        throw;
    }
}

void QTrayApp::watchTerminationSignals()
{
    if (signalPipe[0] != -1 || pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning() << "Unable to watch the termination signals";
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1) {
            qInfo() << "Received signal" << byte;
            emit terminationRequested(byte);
        }
    });
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signalNumber, &action, nullptr);
}
