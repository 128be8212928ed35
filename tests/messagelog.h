#pragma once

#include <QString>
#include <QStringList>

// Records every Qt message of the test process as "<letter> - <text>" while it
// exists, so tests can check the program's log lines without a log file.
class MessageLog
{
public:
    MessageLog();
    ~MessageLog();

    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    QStringList lines() const;
    int count(const QString& text) const;
    bool contains(const QString& text) const { return count(text) > 0; }
    void clear();
};
