#include "overlay/drawingview.h"

#include "overlay/canvascommands.h"
#include "overlay/cursors.h"
#include "settings/settingsstore.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

DrawingView::DrawingView(SettingsStore& settings, QWidget* parent)
    : QWidget(parent), m_settings(settings), m_currentColor(SettingsDefaults::systemRed)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setFocusPolicy(Qt::StrongFocus);
    updateCursor();
}

void DrawingView::applyPen(const QColor& color, double width)
{
    m_currentColor = color;
    m_currentWidth = width;
    m_mode = DrawingMode::pen;
    updateCursor();
    setFocus(Qt::OtherFocusReason);
}

void DrawingView::useEraser()
{
    m_mode = DrawingMode::eraser;
    updateCursor();
}

void DrawingView::clearStrokes()
{
    // clear() keeps the capacity, which after a long session is thousands of strokes.
    m_strokes = QList<Stroke>();
    m_bakedCount = 0;
    m_layer = QImage();
    update();
}

void DrawingView::erase(QPointF p)
{
    // Baked strokes and the rest are erased apart so the layer knows which of its strokes left.
    QList<Stroke> unbaked = m_strokes.mid(m_bakedCount);
    m_strokes.resize(m_bakedCount);
    const QRectF bakedArea = eraseStrokesAt(m_strokes, p, m_currentWidth);
    m_bakedCount = m_strokes.size();
    const QRectF unbakedArea = eraseStrokesAt(unbaked, p, m_currentWidth);
    m_strokes.append(std::move(unbaked));
    if (!bakedArea.isEmpty())
        repaintLayer(bakedArea);
    const QRectF changed = bakedArea | unbakedArea;
    if (!changed.isEmpty())
        update(changed.toAlignedRect());
}

bool DrawingView::hasActiveStroke() const
{
    return m_activeStrokeIndex && *m_activeStrokeIndex >= 0 &&
           *m_activeStrokeIndex < m_strokes.size();
}

void DrawingView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton) {
        if (onExit)
            onExit();
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    const QPointF p = event->position();
    if (m_mode == DrawingMode::eraser) {
        erase(p);
        return;
    }
    // A press without a release (the grab was lost) leaves a finished stroke behind.
    m_activeStrokeIndex.reset();
    bakeFinishedStrokes();
    m_strokes.append(Stroke{{p}, m_currentColor, m_currentWidth});
    m_activeStrokeIndex = m_strokes.size() - 1;
    update(strokeBounds(m_strokes.last()).toAlignedRect());
}

void DrawingView::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const QPointF p = event->position();
    if (m_mode == DrawingMode::pen && hasActiveStroke()) {
        Stroke& s = m_strokes[*m_activeStrokeIndex];
        const Stroke segment{{s.points.last(), p}, s.color, s.width};
        s.points.append(p);
        update(strokeBounds(segment).toAlignedRect());
        return;
    }
    erase(p);
}

void DrawingView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_activeStrokeIndex.reset();
    bakeFinishedStrokes();
}

void DrawingView::keyPressEvent(QKeyEvent* event)
{
    const QString characters = keyCharacters(event->key(), event->text());
    // Keys without characters (arrows, function keys) are not commands; pass them on.
    if (characters.isEmpty()) {
        QWidget::keyPressEvent(event);
        return;
    }
    const auto raise = [](const auto& callback, auto... args) {
        if (callback)
            callback(args...);
    };
    switch (commandForKey(characters, m_settings)) {
    case CanvasCommand::preset0:
        raise(onPreset, 0);
        break;
    case CanvasCommand::preset1:
        raise(onPreset, 1);
        break;
    case CanvasCommand::preset2:
        raise(onPreset, 2);
        break;
    case CanvasCommand::eraser:
        raise(onEraser);
        break;
    case CanvasCommand::clear:
        raise(onClear);
        break;
    case CanvasCommand::exit:
        raise(onExit);
        break;
    case CanvasCommand::none:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void DrawingView::paintEvent(QPaintEvent* event)
{
    // No background of its own: what lies below (the screen, or a still of it) shows through.
    QPainter painter(this);
    painter.setClipRegion(event->region());
    if (m_bakedCount > 0 && ensureLayer())
        painter.drawImage(QPointF(0, 0), m_layer);
    painter.setRenderHint(QPainter::Antialiasing);
    for (qsizetype i = m_bakedCount; i < m_strokes.size(); ++i)
        paintStroke(painter, m_strokes[i]);
}

void DrawingView::updateCursor()
{
    setCursor(m_mode == DrawingMode::pen ? QCursor(Qt::CrossCursor) : eraserCursor());
}

void DrawingView::bakeFinishedStrokes()
{
    const qsizetype end = hasActiveStroke() ? *m_activeStrokeIndex : m_strokes.size();
    if (end <= m_bakedCount || !ensureLayer())
        return;
    QPainter painter(&m_layer);
    painter.setRenderHint(QPainter::Antialiasing);
    for (qsizetype i = m_bakedCount; i < end; ++i)
        paintStroke(painter, m_strokes[i]);
    m_bakedCount = end;
}

void DrawingView::repaintLayer(const QRectF& area)
{
    if (!ensureLayer())
        return;
    const qreal dpr = m_layer.devicePixelRatio();
    // Whole device pixels, so pixels at the edge are not blended twice.
    const QRect pixels =
        QRectF(area.topLeft() * dpr, area.size() * dpr).toAlignedRect() & m_layer.rect();
    const QRectF clip(QPointF(pixels.topLeft()) / dpr, QSizeF(pixels.size()) / dpr);
    QPainter painter(&m_layer);
    painter.setClipRect(clip);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(clip, Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setRenderHint(QPainter::Antialiasing);
    for (qsizetype i = 0; i < m_bakedCount; ++i) {
        if (strokeBounds(m_strokes[i]).intersects(clip))
            paintStroke(painter, m_strokes[i]);
    }
}

bool DrawingView::ensureLayer()
{
    const qreal dpr = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * dpr).toSize();
    if (pixels.isEmpty())
        return false;
    if (m_layer.size() == pixels && m_layer.devicePixelRatio() == dpr)
        return true;
    m_layer = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
    m_layer.setDevicePixelRatio(dpr);
    m_layer.fill(Qt::transparent);
    QPainter painter(&m_layer);
    painter.setRenderHint(QPainter::Antialiasing);
    for (qsizetype i = 0; i < m_bakedCount; ++i)
        paintStroke(painter, m_strokes[i]);
    return true;
}
