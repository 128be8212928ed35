#pragma once

#include <memory>
#include <QVector2D>
#include <QWidget>

namespace Ui {
class TitleBar;
}

// Title bar of the product's frameless windows. It only reports what the user does;
// the owning window moves, maximises or closes itself. Drags are reported as vectors
// so that one drag can move several windows: every title bar created while another
// exists forwards its vectors to that first, primary one.
class TitleBar : public QWidget
{
    Q_OBJECT

public:
    enum Part
    {
        PartIcon = 0x1,
        PartCenterInfo = 0x10,
        PartConnection = 0x100,
        PartMinimize = 0x1000,
        PartMaximize = 0x10000,
        PartClose = 0x100000,
    };

    explicit TitleBar(QWidget* parent);
    ~TitleBar() override;

    // A cleared bit of Part hides that part.
    void setVisibleParts(int flags);
    void setTitle(const QString& text);
    void setMaximizedIcon(bool maximized);

Q_SIGNALS:
    void doubleClickedEvent();
    void moveVectorEvent(QVector2D vector);
    void closeBtnClicked();
    void maximizeBtnClicked();
    void minimalizeBtnClicked();
    // A press that may start a drag; windows moved by the compositor start it from here.
    void pressed();

private Q_SLOTS:
    void on_minBtn_clicked();
    void on_maxBtn_clicked();
    void on_closeBtn_clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    std::unique_ptr<Ui::TitleBar> ui;
    QString themePath;
    QVector2D pressPoint;
    int visibleParts = 0x111111;
};
