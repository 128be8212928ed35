#pragma once

#include <QString>
#include <QtGlobal>

// Appends every Qt message to the log file, but only while that file exists:
// creating or removing the file switches logging on and off without a restart.
void enableLogging(const QString& logFileName);
bool isLogFileReady();
QString logDirectory();
QString dataDirectory();
// Makes an empty log file that only its owner can read: logs may quote what pages sign.
bool createLogFile(const QString& path);
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);
