#pragma once

#include <QApplication>

// The application object: names every exception that escapes an event handler in
// the log before letting it continue.
class QTrayApp : public QApplication
{
    Q_OBJECT

public:
    QTrayApp(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};
