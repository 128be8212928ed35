#include "boxcloser.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

BoxCloser::BoxCloser(QObject* parent)
    : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &BoxCloser::closeModalBoxes);
    timer.start(10);
}

void BoxCloser::closeModalBoxes()
{
    QWidget* box = QApplication::activeModalWidget();
    if (!box || !box->isVisible())
        return;
    closedTitles.append(box->windowTitle());
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(box, &press);
}
