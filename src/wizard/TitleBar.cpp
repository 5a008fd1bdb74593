#include "TitleBar.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QSvgWidget>
#include <QWindow>

namespace pelora {

TitleBar::TitleBar(QWidget* parent)
    : QWidget(parent), caption_(new QLabel(this)), logo_(new QSvgWidget(":/wizard/app-icon.svg", this))
{
    setObjectName("XPForm");
    setAttribute(Qt::WA_StyledBackground, true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(10, 0, 10, 0);
    layout->setSpacing(8);
    logo_->setObjectName("XPFormLogo");
    logo_->setFixedSize(18, 18);
    layout->addWidget(logo_);
    caption_->setObjectName("XPFormCaption");
    caption_->setText("Pelora 1D Firmware Update");
    layout->addWidget(caption_, 1);
}

void TitleBar::SetCaption(const QString& caption)
{
    caption_->setText(caption);
    setAccessibleName(caption);
}

void TitleBar::SetLogoName(const QString& name) { logo_->setAccessibleName(name); }

void TitleBar::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    // The window system moves the window best where it can.
    if (QWindow* handle = window()->windowHandle(); handle && handle->startSystemMove()) return;
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - window()->frameGeometry().topLeft();
}

void TitleBar::mouseMoveEvent(QMouseEvent* event)
{
    if (dragging_) window()->move(event->globalPosition().toPoint() - dragOffset_);
}

void TitleBar::mouseReleaseEvent(QMouseEvent* event)
{
    dragging_ = false;
    QWidget::mouseReleaseEvent(event);
}

}  // namespace pelora
