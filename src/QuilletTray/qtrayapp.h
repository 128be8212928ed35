#pragma once

#include <QApplication>

// The application object: names every exception that escapes an event handler in
// the log before letting it continue, and turns the signals that ask the program to end
// into a Qt signal delivered by the event loop.
class QTrayApp : public QApplication
{
    Q_OBJECT

public:
    QTrayApp(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // From now on SIGTERM, SIGINT and SIGHUP emit terminationRequested() instead of ending
    // the process.
    void watchTerminationSignals();

Q_SIGNALS:
    void terminationRequested(int signalNumber);
};
