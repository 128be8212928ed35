#pragma once

#include <QString>
#include <QtGlobal>

// Appends every Qt message to the log file, but only while that file exists:
// creating or removing the file switches logging on and off without a restart.
void enableLogging(const QString& logFileName);
bool isLogFileReady();
QString logDirectory();
QString dataDirectory();
QString logFilePath();
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);
