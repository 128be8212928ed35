#pragma once

#include <QException>
#include <QSharedPointer>
#include <QString>

// The program's one exception type: a technical message for the log, an optional
// message for the user, the throw site and an optional cause.
class AppException : public QException
{
public:
    AppException(const QString& generalMessage, const QString& file, unsigned long line,
                 const QString& function, const QString& detailMessage);
    AppException(const QString& generalMessage, const AppException& cause, const QString& file,
                 unsigned long line, const QString& function, const QString& detailMessage);
    AppException(const AppException& other) = default;
    AppException& operator=(const AppException& other) = default;
    ~AppException() override;

    void raise() const override;
    AppException* clone() const override;
    virtual const char* name() const;
    virtual QString toString(bool withLocation) const;

    QString generalMessage() const { return m_generalMessage; }
    QString detailMessage() const { return m_detailMessage; }
    bool hasDetailMessage() const { return !m_detailMessage.isEmpty(); }
    AppException* cause() const { return m_cause.data(); }

private:
    QString m_generalMessage;
    QSharedPointer<AppException> m_cause;
    QString m_file;
    quint64 m_line = 0;
    QString m_function;
    QString m_detailMessage;
};

// Throw sites record where they are.
#define APP_EXCEPTION(general, detail)                                                                       \
    AppException((general), QStringLiteral(__FILE__), __LINE__, QString::fromUtf8(Q_FUNC_INFO), (detail))
#define APP_EXCEPTION_CAUSED(general, cause, detail)                                                         \
    AppException((general), (cause), QStringLiteral(__FILE__), __LINE__, QString::fromUtf8(Q_FUNC_INFO),     \
                 (detail))
