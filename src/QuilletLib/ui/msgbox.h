#pragma once

#include <memory>
#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QTimer>
#include <QVector2D>

class AppException;
class QMouseEvent;
class TitleBar;

namespace Ui {
class MsgBox;
}

// The program's message dialog: frameless and themed, with an icon, a scrollable text,
// an OK button and, for errors, a details button that slides open the technical details.
// Every open box is listed process-wide so that shutting down can close them all.
class MsgBox : public QDialog
{
    Q_OBJECT

public:
    enum Icon
    {
        IconSuccess = 0,
        IconError = 1,
        IconApplication = 2,
        IconNone = 3
    };

    MsgBox(QWidget* parent, const QString& text, const QString& title, int icon, bool detailsAvailable);
    ~MsgBox() override;

    // Modal: each shows its box and returns when it is closed.
    static void showError(QWidget* parent, const QString& title, const QString& message);
    static void showErrorWithDetail(QWidget* parent, const QString& title, const QString& message,
                                    const QString& details);
    static void showSuccess(QWidget* parent, const QString& title, const QString& message);
    static void showInfoWithoutIcon(QWidget* parent, const QString& title, const QString& message);
    // Registered but not shown; the caller shows it and unregisters it when it has finished.
    static MsgBox* aboutDialog(QWidget* parent, const QString& title, const QString& text);
    static void showError(QWidget* parent, const QString& title, AppException& e);

    // Once set, closes every open box and no further box is shown.
    static void setTerminating(bool terminating);
    static void unregisterMsgBox(MsgBox* box);
    static QList<MsgBox*> openBoxes();
    // A Wayland compositor ignores windows that move themselves: it moves and resizes them
    // itself once asked to follow the pointer.
    static bool compositorMovesWindows(const QString& platformName);

    void setDetailsAvailable(bool available);
    void setDetailsVisible(bool visible);
    void setDetails(const QString& details);
    void bringToFront();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private Q_SLOTS:
    void on_btnOK_clicked();
    void on_btnDetails_clicked();
    void animateDetails();
    void startSystemMove();
    void dragTitleBar(QVector2D dirVector);
    void onMouseMoveEvent(QMouseEvent* ev);
    void onMousePressEvent(QMouseEvent* ev);
    void onMouseReleaseEvent(QMouseEvent* ev);

private:
    void setupTitleBar();
    QPixmap iconPicture(int icon) const;

    std::unique_ptr<Ui::MsgBox> ui;
    TitleBar* titleBar = nullptr;
    QString themePath;
    // Paces the details animation; a child so tests and tools can find it by name.
    QTimer detailsTimer {this};
    bool detailsAvailable = false;
    bool detailsVisible = false;
    int detailsHeight = 0;
    int baseHeight = 0;
    bool nearLeftEdge = false;
    bool nearRightEdge = false;
    bool resizing = false;
    QPoint lastPointer;
    QRect startGeometry;
};
