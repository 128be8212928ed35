#include "logcapture.h"

#include <algorithm>
#include <QMutex>

namespace {
QMutex mutex;
QStringList captured;
QtMessageHandler forwardTo = nullptr;
} // namespace

LogCapture::LogCapture()
{
    clear();
    m_previous = qInstallMessageHandler(&LogCapture::handler);
    forwardTo = m_previous;
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        QMutexLocker locker(&mutex);
        captured.append(QLatin1Char("DWCFI"[type]) + QStringLiteral(": ") + message);
    }
    if (forwardTo)
        forwardTo(type, context, message);
}

void LogCapture::clear()
{
    QMutexLocker locker(&mutex);
    captured.clear();
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&mutex);
    return captured;
}

int LogCapture::count(const QString& fragment) const
{
    const QStringList all = lines();
    return int(std::count_if(all.cbegin(), all.cend(),
                             [&](const QString& line) { return line.contains(fragment); }));
}

int LogCapture::indexOf(const QString& fragment, int from) const
{
    const QStringList all = lines();
    for (int i = from; i < all.size(); ++i) {
        if (all.at(i).contains(fragment))
            return i;
    }
    return -1;
}
