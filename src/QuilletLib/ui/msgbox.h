#pragma once

#include <QDialog>
#include <QString>

class AppException;

// Placeholder with the message box's public interface; the themed dialog replaces it.
class MsgBox : public QDialog
{
    Q_OBJECT

public:
    enum Icon { IconSuccess = 0, IconError = 1, IconApplication = 2, IconNone = 3 };

    MsgBox(QWidget* parent, const QString& text, const QString& title, int icon, bool detailsAvailable);
    ~MsgBox() override;

    static void showError(QWidget* parent, const QString& title, const QString& message);
    static void showErrorWithDetail(QWidget* parent, const QString& title, const QString& message,
                                    const QString& details);
    static void showSuccess(QWidget* parent, const QString& title, const QString& message);
    static void showInfoWithoutIcon(QWidget* parent, const QString& title, const QString& message);
    static MsgBox* aboutDialog(QWidget* parent, const QString& title, const QString& text);
    static void showError(QWidget* parent, const QString& title, AppException& e);

    static void setTerminating(bool terminating);
    static void unregisterMsgBox(MsgBox* box);
    static QList<MsgBox*> openBoxes();

    void setDetailsAvailable(bool available);
    void setDetailsVisible(bool visible);
    void setDetails(const QString& details);
    void bringToFront();
};
