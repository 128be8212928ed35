#include "logcapture.h"

#include <QMutex>

namespace {
QMutex mutex;
QStringList captured;
QtMessageHandler forwardTo = nullptr;

char levelLetter(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 'D';
    case QtInfoMsg:
        return 'I';
    case QtWarningMsg:
        return 'W';
    case QtCriticalMsg:
        return 'C';
    case QtFatalMsg:
        return 'F';
    }
    return '?';
}
} // namespace

LogCapture::LogCapture()
{
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
        captured.append(QLatin1Char(levelLetter(type)) + QStringLiteral(": ") + message);
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
    int n = 0;
    for (const QString& line : all) {
        if (line.contains(fragment))
            ++n;
    }
    return n;
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
