#include "messagelog.h"

#include <QtGlobal>

namespace {
QStringList recorded;
QtMessageHandler previous = nullptr;

void record(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    static const char letters[] = "DWCFI";
    const char letter = type >= 0 && type <= 4 ? letters[type] : '?';
    recorded.append(QLatin1Char(letter) + QStringLiteral(" - ") + message);
}
} // namespace

MessageLog::MessageLog()
{
    recorded.clear();
    previous = qInstallMessageHandler(record);
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(previous);
}

QStringList MessageLog::lines() const
{
    return recorded;
}

int MessageLog::count(const QString& text) const
{
    int n = 0;
    for (const QString& line : std::as_const(recorded))
        n += line.contains(text) ? 1 : 0;
    return n;
}

void MessageLog::clear()
{
    recorded.clear();
}
