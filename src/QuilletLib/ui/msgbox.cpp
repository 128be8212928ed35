#include "msgbox.h"

#include "appexception.h"
#include "quilletproperties.h"
#include "titlebar.h"
#include "ui_msgbox.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QIcon>
#include <QImageReader>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyle>
#include <QWindow>

namespace {
QList<MsgBox*> boxes;
bool terminating = false;

constexpr int detailsStep = 18;
constexpr int detailsFullHeight = 160;
constexpr int detailsStepMs = 30;
// How close to the frame's side the pointer must be to resize the box.
constexpr int edgeReach = 6;
// Smaller edge drags are jitter of the press, not a resize.
constexpr int minimumResizeStep = 5;

bool movedByCompositor()
{
    return MsgBox::compositorMovesWindows(QGuiApplication::platformName());
}

void runModal(MsgBox* box)
{
    boxes.append(box);
    box->exec();
    boxes.removeAll(box);
    delete box;
}
} // namespace

MsgBox::MsgBox(QWidget* parent, const QString& text, const QString& title, int icon, bool withDetails)
    : QDialog(parent)
    , ui(std::make_unique<Ui::MsgBox>())
{
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    ui->setupUi(this);
    setupTitleBar();

    themePath = QuilletProperties::instance()->themePath();
    ui->lblInfo->setText(text);
    setWindowTitle(title);
    titleBar->setTitle(title);

    if (icon == IconNone)
        ui->lblImage->hide();
    else
        ui->lblImage->setPixmap(iconPicture(icon));

    detailsTimer.setObjectName(QStringLiteral("detailsTimer"));
    detailsTimer.setSingleShot(true);
    detailsTimer.setInterval(detailsStepMs);
    connect(&detailsTimer, &QTimer::timeout, this, &MsgBox::animateDetails);

    setDetailsAvailable(withDetails);

    // The frame's height without details is measured once the theme's style sheet is in
    // force; the details area then grows below it.
    ensurePolished();
    baseHeight = ui->frame->sizeHint().height();
    ui->frame->setFixedSize(width(), baseHeight);
    ui->teDetails->setMaximumHeight(detailsHeight);

    setDetailsVisible(false);

    ui->btnOK->setAccessibleDescription(QStringLiteral("hint"));
    ui->btnDetails->setIcon(QIcon(themePath + QStringLiteral("/btnDetails")));
    ui->btnDetails->setIconSize(QSize(12, 12));
    auto* shadow = new QGraphicsDropShadowEffect(ui->teDetails);
    shadow->setBlurRadius(10);
    shadow->setOffset(0, 0);
    ui->teDetails->setGraphicsEffect(shadow);
    // The label's cascade property must take effect over the style it was created with.
    QApplication::style()->unpolish(ui->lblInfo);
    QApplication::style()->polish(ui->lblInfo);
}

MsgBox::~MsgBox()
{
    // A box that closed itself (closeEvent schedules its deletion) must not stay
    // in the list of open boxes, or terminating would reach a deleted box.
    unregisterMsgBox(this);
}

void MsgBox::setupTitleBar()
{
    // The frame paints a soft shadow into the window's transparent margin.
    setAttribute(Qt::WA_TranslucentBackground);
    ui->mainWindowWidget->setAttribute(Qt::WA_TranslucentBackground, false);

    titleBar = new TitleBar(ui->frame);
    titleBar->setVisibleParts(TitleBar::PartClose);
    connect(titleBar, &TitleBar::moveVectorEvent, this, &MsgBox::dragTitleBar);
    connect(titleBar, &TitleBar::pressed, this, &MsgBox::startSystemMove);
    connect(titleBar, &TitleBar::closeBtnClicked, this, &MsgBox::reject);
    ui->titleBarLayout->addWidget(titleBar);

    ui->frame->setMouseTracking(true);
    ui->mainWindowWidget->setMouseTracking(true);
    ui->frame->installEventFilter(this);
    ui->mainWindowWidget->installEventFilter(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
}

QPixmap MsgBox::iconPicture(int icon) const
{
    switch (icon) {
    case IconSuccess:
        return QPixmap(themePath + QStringLiteral("/msgSuccess"));
    case IconError:
        return QPixmap(themePath + QStringLiteral("/msgError"));
    case IconApplication: {
        // The icon file's second image is the 64 pixel one.
        QImageReader reader(themePath + QStringLiteral("/ico"), "ico");
        reader.jumpToImage(1);
        return QPixmap::fromImage(reader.read());
    }
    default:
        return QPixmap();
    }
}

void MsgBox::showError(QWidget* parent, const QString& title, const QString& message)
{
    qInfo() << "Showing error with message: " << message;
    if (terminating)
        return;
    runModal(new MsgBox(parent, message, title, IconError, false));
}

void MsgBox::showErrorWithDetail(QWidget* parent, const QString& title, const QString& message,
                                 const QString& details)
{
    qInfo() << "Showing error with hidden message: " << details;
    if (terminating)
        return;
    auto* box = new MsgBox(parent, message, title, IconError, true);
    box->setDetails(details);
    runModal(box);
}

void MsgBox::showSuccess(QWidget* parent, const QString& title, const QString& message)
{
    qInfo() << "Showing Success: " << message;
    if (terminating)
        return;
    runModal(new MsgBox(parent, message, title, IconSuccess, false));
}

void MsgBox::showInfoWithoutIcon(QWidget* parent, const QString& title, const QString& message)
{
    qInfo() << "Showing Info: " << message;
    if (terminating)
        return;
    auto* box = new MsgBox(parent, message, title, IconNone, false);
    // Without an icon the box is a plain notice, so its button is an ordinary grey one.
    box->ui->btnOK->setStyleSheet(
        QStringLiteral("background-color: rgb(240,240,240); color: rgb(110,110,110);"));
    runModal(box);
}

MsgBox* MsgBox::aboutDialog(QWidget* parent, const QString& title, const QString& text)
{
    qInfo() << "Showing MsgInfo: " << text;
    if (terminating)
        return nullptr;
    auto* box = new MsgBox(parent, text, title, IconApplication, false);
    box->ui->lblInfo->setTextFormat(Qt::RichText);
    box->setWindowModality(Qt::NonModal);
    boxes.append(box);
    return box;
}

void MsgBox::showError(QWidget* parent, const QString& title, AppException& e)
{
    qInfo() << "Show AppException";
    qInfo() << "Terminating: " << (terminating ? "TRUE" : "FALSE");
    if (terminating)
        return;
    if (e.hasDetailMessage()) {
        showErrorWithDetail(parent, title, e.detailMessage(), e.toString(true));
    } else if (!e.generalMessage().isEmpty()) {
        showError(parent, title, e.generalMessage());
    } else {
        showError(parent, title, QObject::tr("GeneralExceptionMessage"));
        qWarning() << "Missing detail message and general message in exception. Wrong usage of AppException!";
    }
}

bool MsgBox::compositorMovesWindows(const QString& platformName)
{
    return platformName.startsWith(QLatin1String("wayland"));
}

void MsgBox::setTerminating(bool value)
{
    terminating = value;
    if (!terminating)
        return;
    // done() only ends each box's modal loop; the show functions remove their boxes
    // from the list once their loops have returned.
    const QList<MsgBox*> open = boxes;
    for (MsgBox* box : open)
        box->done(0);
}

void MsgBox::unregisterMsgBox(MsgBox* box)
{
    boxes.removeAll(box);
}

QList<MsgBox*> MsgBox::openBoxes()
{
    return boxes;
}

void MsgBox::setDetailsAvailable(bool available)
{
    qInfo() << "Setting details " << (available ? "available" : "unavailable");
    detailsAvailable = available;
    ui->btnDetails->setVisible(available);
}

void MsgBox::setDetailsVisible(bool visible)
{
    qInfo() << "Setting details " << (visible ? "visible" : "hidden");
    detailsVisible = visible;
    animateDetails();
    if (detailsVisible) {
        ui->teDetails->verticalScrollBar()->setValue(0);
        ui->btnDetails->setText(QObject::tr("MsgBoxDetailsHide"));
    } else {
        ui->btnDetails->setText(QObject::tr("MsgBoxDetailsShow"));
    }
}

void MsgBox::setDetails(const QString& details)
{
    ui->teDetails->setText(details);
}

void MsgBox::bringToFront()
{
    if (isActiveWindow())
        return;
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

bool MsgBox::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->frame) {
        switch (event->type()) {
        case QEvent::MouseMove:
            onMouseMoveEvent(static_cast<QMouseEvent*>(event));
            return true;
        case QEvent::MouseButtonPress:
            onMousePressEvent(static_cast<QMouseEvent*>(event));
            return true;
        case QEvent::MouseButtonRelease:
            onMouseReleaseEvent(static_cast<QMouseEvent*>(event));
            return true;
        default:
            break;
        }
    } else if (watched == ui->mainWindowWidget && event->type() == QEvent::Enter) {
        if (ui->frame->cursor().shape() != Qt::ArrowCursor)
            ui->frame->setCursor(Qt::ArrowCursor);
        nearLeftEdge = false;
    }
    return QDialog::eventFilter(watched, event);
}

void MsgBox::closeEvent(QCloseEvent* event)
{
    qInfo() << "Closing MsgBox";
    QDialog::closeEvent(event);
    hide();
    deleteLater();
}

void MsgBox::on_btnOK_clicked()
{
    close();
}

void MsgBox::on_btnDetails_clicked()
{
    setDetailsVisible(!detailsVisible);
}

void MsgBox::animateDetails()
{
    bool finished = false;
    if (detailsVisible) {
        detailsHeight += detailsStep;
        setFixedHeight(baseHeight + ui->teDetails->sizeHint().height());
        if (detailsHeight > detailsFullHeight - 1) {
            detailsHeight = detailsFullHeight;
            finished = true;
        }
    } else {
        detailsHeight -= detailsStep;
        if (detailsHeight < 1) {
            detailsHeight = 0;
            setFixedHeight(baseHeight);
            finished = true;
        }
    }
    if (!finished)
        detailsTimer.start();

    // One repaint per step instead of one per resized widget.
    setUpdatesEnabled(false);
    ui->teDetails->setFixedHeight(detailsHeight);
    ui->frame->setFixedHeight(detailsHeight + baseHeight);
    setUpdatesEnabled(true);
}

void MsgBox::startSystemMove()
{
    if (!movedByCompositor())
        return;
    const bool accepted = windowHandle() && windowHandle()->startSystemMove();
    qInfo() << "Asked the compositor to move the box:" << (accepted ? "accepted" : "refused");
}

void MsgBox::dragTitleBar(QVector2D dirVector)
{
    if (movedByCompositor())
        return;
    move(pos() - QPoint(qRound(dirVector.x()), qRound(dirVector.y())));
}

void MsgBox::onMouseMoveEvent(QMouseEvent* ev)
{
    if (isMaximized())
        return;
    if (!resizing) {
        const int x = qRound(ev->position().x());
        nearLeftEdge = qAbs(x) < edgeReach;
        nearRightEdge = qAbs(x - (ui->frame->width() - 1)) < edgeReach;
        ui->frame->setCursor(nearLeftEdge || nearRightEdge ? Qt::SizeHorCursor : Qt::ArrowCursor);
        return;
    }

    const int dx = qRound(ev->globalPosition().x()) - lastPointer.x();
    if (qAbs(dx) < minimumResizeStep)
        return;
    if (nearLeftEdge) {
        if (dx > 0 && startGeometry.width() - 1 < minimumWidth())
            return;
        startGeometry.setLeft(startGeometry.left() + dx);
        if (nearRightEdge)
            startGeometry.setRight(startGeometry.right() + dx);
    } else if (nearRightEdge) {
        startGeometry.setRight(startGeometry.right() + dx);
    }
    setGeometry(startGeometry);
    lastPointer = ev->globalPosition().toPoint();
}

void MsgBox::onMousePressEvent(QMouseEvent* ev)
{
    if (movedByCompositor()) {
        const Qt::Edges edges
            = (nearLeftEdge ? Qt::LeftEdge : Qt::Edges()) | (nearRightEdge ? Qt::RightEdge : Qt::Edges());
        if (ev->button() == Qt::LeftButton && edges && windowHandle())
            qInfo() << "Asked the compositor to resize the box:"
                    << (windowHandle()->startSystemResize(edges) ? "accepted" : "refused");
        return;
    }
    lastPointer = ev->globalPosition().toPoint();
    startGeometry = geometry();
    resizing = ev->button() == Qt::LeftButton && (nearLeftEdge || nearRightEdge);
}

void MsgBox::onMouseReleaseEvent(QMouseEvent*)
{
    resizing = false;
}
