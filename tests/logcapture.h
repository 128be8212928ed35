#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects every Qt message of the test process as "<level letter>: <message>", so tests
// can assert the exact log lines of the code under test. Messages still reach QtTest.
// Make it in initTestCase: QtTest installs its own handler before that.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void clear();
    QStringList lines() const;
    // Number of lines that contain the fragment.
    int count(const QString& fragment) const;
    bool contains(const QString& fragment) const { return count(fragment) > 0; }
    // Index of the first line at or after `from` that contains the fragment, or -1.
    int indexOf(const QString& fragment, int from = 0) const;

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
    QtMessageHandler m_previous;
};
