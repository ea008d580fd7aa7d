#include "screenshot/selectionview.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>

namespace
{

QFont hintFont(const QFont& base)
{
    QFont font = base;
    font.setPixelSize(15);
    font.setWeight(QFont::Medium);
    return font;
}

} // namespace

SelectionView::SelectionView(const QImage& still, QWidget* parent) : QWidget(parent), m_still(still)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::CrossCursor);
}

QPointF SelectionView::hintPosition(double viewWidth, double textWidth)
{
    return {(viewWidth - textWidth) * 0.5, 28.0};
}

QRectF SelectionView::dragRect(QPointF start, QPointF p)
{
    return {std::min(p.x(), start.x()), std::min(p.y(), start.y()), std::abs(p.x() - start.x()),
            std::abs(p.y() - start.y())};
}

void SelectionView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton) {
        if (onCancel)
            onCancel();
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    m_startPoint = event->position();
    m_selectionRect = QRectF();
    update();
}

void SelectionView::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_startPoint || !(event->buttons() & Qt::LeftButton))
        return;
    m_selectionRect = dragRect(*m_startPoint, event->position());
    update();
}

void SelectionView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_startPoint)
        return;
    if (m_selectionRect.width() < minimumSize || m_selectionRect.height() < minimumSize) {
        m_startPoint.reset();
        m_selectionRect = QRectF();
        update();
        return;
    }
    m_startPoint.reset();
    if (onComplete)
        onComplete(m_selectionRect);
}

void SelectionView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        if (onCancel)
            onCancel();
        return;
    }
    QWidget::keyPressEvent(event);
}

void SelectionView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawImage(rect(), m_still);
    painter.fillRect(rect(), QColor(0, 0, 0, 77));
    if (!m_selectionRect.isEmpty()) {
        painter.fillRect(m_selectionRect, QColor(255, 255, 255, 31));
        painter.setPen(QPen(Qt::white, 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(m_selectionRect);
    }
    painter.setFont(hintFont(font()));
    painter.setPen(Qt::white);
    const QFontMetricsF metrics(painter.font());
    const QPointF topLeft = hintPosition(width(), metrics.horizontalAdvance(hintText));
    painter.drawText(topLeft + QPointF(0, metrics.ascent()), hintText);
}
