#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

// Closes every modal message box as soon as it shows, the way a person would with
// Escape, and records the window titles of the boxes it closed.
class BoxCloser : public QObject
{
    Q_OBJECT

public:
    explicit BoxCloser(QObject* parent = nullptr);

    QStringList titles() const { return closedTitles; }

private Q_SLOTS:
    void closeModalBoxes();

private:
    QTimer timer;
    QStringList closedTitles;
};
