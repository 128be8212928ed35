#include "titlebar.h"

#include "quilletproperties.h"
#include "ui_titlebar.h"

#include <QIcon>
#include <QMouseEvent>

namespace {
// The first title bar alive; later ones forward their drags to it.
TitleBar* primaryTitleBar = nullptr;

QVector2D rounded(const QPointF& point)
{
    return QVector2D(float(qRound(point.x())), float(qRound(point.y())));
}
} // namespace

TitleBar::TitleBar(QWidget* parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::TitleBar>())
    , themePath(QuilletProperties::instance()->themePath())
{
    ui->setupUi(this);
    ui->iconLbl->setPixmap(QPixmap(themePath + QStringLiteral("/QLIcon")));
    ui->connectionIconLbl->setPixmap(QPixmap(themePath + QStringLiteral("/connection")));
    ui->minBtn->setIcon(QIcon(themePath + QStringLiteral("/minimalize")));
    ui->maxBtn->setIcon(QIcon(themePath + QStringLiteral("/maximize")));
    ui->closeBtn->setIcon(QIcon(themePath + QStringLiteral("/close")));

    if (!primaryTitleBar)
        primaryTitleBar = this;
    else
        connect(this, &TitleBar::moveVectorEvent, primaryTitleBar, &TitleBar::moveVectorEvent);
}

TitleBar::~TitleBar()
{
    if (primaryTitleBar == this)
        primaryTitleBar = nullptr;
}

void TitleBar::setVisibleParts(int flags)
{
    visibleParts = flags;
    ui->iconLbl->setVisible(flags & PartIcon);
    ui->centerInfo->setVisible(flags & PartCenterInfo);
    ui->connectionIconLbl->setVisible(flags & PartConnection);
    ui->connectionLbl->setVisible(flags & PartConnection);
    ui->minBtn->setVisible(flags & PartMinimize);
    ui->maxBtn->setVisible(flags & PartMaximize);
    ui->closeBtn->setVisible(flags & PartClose);
}

void TitleBar::setTitle(const QString& text)
{
    ui->titleLbl->setText(text);
}

void TitleBar::setMaximizedIcon(bool maximized)
{
    const QString name = maximized ? QStringLiteral("/restore") : QStringLiteral("/maximize");
    ui->maxBtn->setIcon(QIcon(themePath + name));
}

void TitleBar::on_minBtn_clicked()
{
    Q_EMIT minimalizeBtnClicked();
}

void TitleBar::on_maxBtn_clicked()
{
    Q_EMIT maximizeBtnClicked();
}

void TitleBar::on_closeBtn_clicked()
{
    Q_EMIT closeBtnClicked();
}

void TitleBar::mousePressEvent(QMouseEvent* event)
{
    pressPoint = rounded(event->position());
    Q_EMIT pressed();
}

void TitleBar::mouseDoubleClickEvent(QMouseEvent* event)
{
    Q_EMIT doubleClickedEvent();
    event->accept();
}

// The window follows each vector, so the pointer keeps its place on the title bar and
// every vector is the offset of one motion step from the press point.
void TitleBar::mouseMoveEvent(QMouseEvent* event)
{
    Q_EMIT moveVectorEvent(pressPoint - rounded(event->position()));
}
