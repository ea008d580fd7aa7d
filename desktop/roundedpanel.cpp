#include "desktop/roundedpanel.h"

#include <QMouseEvent>
#include <QPainter>

RoundedPanel::RoundedPanel(const QColor& fill, const QColor& border, QWidget* parent)
    : QWidget(parent), m_fill(fill), m_border(border)
{
}

void RoundedPanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(m_border, 1));
    painter.setBrush(m_fill);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
}

void RoundedPanel::mousePressEvent(QMouseEvent* event)
{
    event->accept();
}

void RoundedPanel::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
}

void RoundedPanel::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
}
