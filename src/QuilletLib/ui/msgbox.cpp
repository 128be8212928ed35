#include "msgbox.h"

#include "appexception.h"

#include <QDebug>

namespace {
QList<MsgBox*> boxes;
bool terminating = false;

void runModal(MsgBox* box)
{
    boxes.append(box);
    box->exec();
    boxes.removeAll(box);
    delete box;
}
} // namespace

MsgBox::MsgBox(QWidget* parent, const QString& text, const QString& title, int, bool)
    : QDialog(parent)
{
    setWindowTitle(title);
    setToolTip(text);
}

MsgBox::~MsgBox() = default;

void MsgBox::showError(QWidget* parent, const QString& title, const QString& message)
{
    qInfo() << "Showing error with message: " << message;
    if (!terminating)
        runModal(new MsgBox(parent, message, title, IconError, false));
}

void MsgBox::showErrorWithDetail(QWidget* parent, const QString& title, const QString& message,
                                 const QString& details)
{
    qInfo() << "Showing error with hidden message: " << details;
    if (!terminating)
        runModal(new MsgBox(parent, message, title, IconError, true));
}

void MsgBox::showSuccess(QWidget* parent, const QString& title, const QString& message)
{
    qInfo() << "Showing Success: " << message;
    if (!terminating)
        runModal(new MsgBox(parent, message, title, IconSuccess, false));
}

void MsgBox::showInfoWithoutIcon(QWidget* parent, const QString& title, const QString& message)
{
    qInfo() << "Showing Info: " << message;
    if (!terminating)
        runModal(new MsgBox(parent, message, title, IconNone, false));
}

MsgBox* MsgBox::aboutDialog(QWidget* parent, const QString& title, const QString& text)
{
    qInfo() << "Showing MsgInfo: " << text;
    auto* box = new MsgBox(parent, text, title, IconApplication, false);
    boxes.append(box);
    return box;
}

void MsgBox::showError(QWidget* parent, const QString& title, AppException& e)
{
    showErrorWithDetail(parent, title, e.detailMessage(), e.toString(true));
}

void MsgBox::setTerminating(bool value)
{
    terminating = value;
    if (value) {
        for (MsgBox* box : std::as_const(boxes))
            box->reject();
    }
}

void MsgBox::unregisterMsgBox(MsgBox* box)
{
    boxes.removeAll(box);
}

QList<MsgBox*> MsgBox::openBoxes()
{
    return boxes;
}

void MsgBox::setDetailsAvailable(bool) { }
void MsgBox::setDetailsVisible(bool) { }
void MsgBox::setDetails(const QString&) { }

void MsgBox::bringToFront()
{
    raise();
    activateWindow();
}
