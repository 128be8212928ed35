#include "logger.h"

#include <cstdlib>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QTextStream>
#include <QThread>

namespace {
bool loggingEnabled = false;
QString logFileName;
QString logDir;
QString logPath;
QMutex writeLock;
} // namespace

void enableLogging(const QString& fileName)
{
    loggingEnabled = true;
    logFileName = fileName;
    logDir = logDirectory();
    logPath = QDir::cleanPath(logDir + QStringLiteral("/") + logFileName);
    qInstallMessageHandler(messageHandler);
}

bool isLogFileReady()
{
    if (!loggingEnabled)
        return false;
    const QFileInfo info(logPath);
    return info.exists() && info.isFile();
}

QString dataDirectory()
{
    return QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                           + QStringLiteral("/Kestrum/Quillet"))
        + QStringLiteral("/");
}

QString logDirectory()
{
    return dataDirectory() + QStringLiteral("Logs/");
}

bool createLogFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (!isLogFileReady())
        return;

    static const QString letters = QStringLiteral("DWCFI");
    const auto typeValue = static_cast<int>(type);
    const QString letter
        = typeValue >= 0 && typeValue < letters.size() ? QString(letters.at(typeValue)) : QStringLiteral("?");

    QMutexLocker locker(&writeLock);
    QFile file(logPath);
    // Never makes the file: one removed since the check above stays removed.
    if (file.open(QIODevice::Append | QIODevice::ExistingOnly)) {
        // One substitution pass, so markers inside the message text stay as they are.
        const QString line
            = QStringLiteral("%1 - %8 - %7 - %2 - %3 - at %4 in %5 line %6")
                  .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate), letter, message,
                       QString::fromUtf8(context.function ? context.function : ""),
                       QString::fromUtf8(context.file ? context.file : ""), QString::number(context.line),
                       QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId())),
                       QString::number(QCoreApplication::applicationPid()));
        QTextStream stream(&file);
        stream.setEncoding(QStringConverter::Utf8);
        stream << line << Qt::endl;
        file.close();
    }
    if (type == QtFatalMsg)
        std::abort();
}
