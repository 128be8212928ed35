#include "qtrayapp.h"

#include "appexception.h"

#include <cxxabi.h>
#include <exception>
#include <QDebug>
#include <QUnhandledException>
#include <typeinfo>

namespace {
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
