#include "appexception.h"

AppException::AppException(const QString& generalMessage, const QString& file, unsigned long line,
                           const QString& function, const QString& detailMessage)
    : m_generalMessage(generalMessage)
    , m_file(file)
    , m_line(line)
    , m_function(function)
    , m_detailMessage(detailMessage)
{
}

AppException::AppException(const QString& generalMessage, const AppException& cause, const QString& file,
                           unsigned long line, const QString& function, const QString& detailMessage)
    : m_generalMessage(generalMessage)
    , m_cause(cause.clone())
    , m_file(file)
    , m_line(line)
    , m_function(function)
    , m_detailMessage(detailMessage)
{
}

AppException::~AppException() = default;

void AppException::raise() const
{
    throw *this;
}

AppException* AppException::clone() const
{
    auto* copy = new AppException(*this);
    if (m_cause)
        copy->m_cause.reset(m_cause->clone());
    return copy;
}

const char* AppException::name() const
{
    return "AppException";
}

QString AppException::toString(bool withLocation) const
{
    QString text = QString::fromLatin1(name()) + QStringLiteral(": ");
    text += m_generalMessage.isEmpty() ? QStringLiteral("<No message available>") : m_generalMessage;
    if (withLocation) {
        text += QStringLiteral("\n  at ") + m_function + QStringLiteral(" in ") + m_file
            + QStringLiteral(" line ") + QString::number(m_line);
    }
    if (m_cause)
        text += QStringLiteral("\ncaused by ") + m_cause->toString(withLocation);
    return text;
}
