#include "overlay/drawingview.h"

#include "overlay/canvascommands.h"
#include "overlay/cursors.h"
#include "overlay/undobudget.h"
#include "settings/settingsstore.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cstring>
#include <utility>

DrawingView::DrawingView(SettingsStore& settings, QWidget* parent)
    : QWidget(parent), m_settings(settings), m_currentColor(SettingsDefaults::systemRed),
      m_budget(std::make_shared<UndoBudget>())
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setFocusPolicy(Qt::StrongFocus);
    updateCursor();
}

DrawingView::~DrawingView()
{
    for (const auto& [change, kept] : m_patches)
        m_budget->release(kept.stamp);
}

void DrawingView::shareUndoBudget(std::shared_ptr<UndoBudget> budget)
{
    m_budget = std::move(budget);
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

StrokeEdits DrawingView::clearStrokes()
{
    reportPending();
    StrokeEdits edits;
    edits.reserve(m_strokes.size());
    // From the last, so that undoing appends them again in order.
    for (qsizetype i = m_strokes.size() - 1; i >= 0; --i)
        edits.append({i, m_strokes[i], false});
    // The whole layer is the patch, when it holds every stroke.
    QList<LayerPatch> patches;
    if (layerFits() && m_bakedCount == m_strokes.size())
        patches.append({m_layer.rect(), m_layer, m_layer.size()});
    if (!edits.isEmpty()) {
        ++m_changeCount;
        keepPatches(std::move(patches));
    }
    // clear() keeps the capacity, which after a long session is thousands of strokes.
    m_strokes = QList<Stroke>();
    m_bakedCount = 0;
    m_bakedBounds = QList<QRectF>();
    m_layer = QImage();
    update();
    return edits;
}

void DrawingView::erase(QPointF p)
{
    const qsizetype first = m_pending.size();
    eraseStrokesAt(m_strokes, p, m_currentWidth, m_pending);
    QRectF layerArea, changed;
    for (qsizetype k = first; k < m_pending.size(); ++k) {
        const StrokeEdit& edit = m_pending[k];
        const QRectF bounds = strokeBounds(edit.stroke);
        changed |= bounds;
        // The stroke a pen drag extends moves down with the ones removed before it, so a pen
        // picked again mid-drag goes on drawing it.
        if (m_activeStrokeIndex && edit.index < *m_activeStrokeIndex)
            --*m_activeStrokeIndex;
        if (edit.index < m_bakedCount) {
            layerArea |= bounds;
            m_bakedBounds.remove(edit.index);
            --m_bakedCount;
        }
    }
    // The stroke this drag draws was never reported, so its removal is no change either.
    if (m_drawing && m_pending.size() > first && m_pending.last().index == m_strokes.size()) {
        m_pending.removeLast();
        m_drawing = false;
    }
    if (!layerArea.isEmpty()) {
        keepBefore(layerArea);
        repaintLayer(layerArea);
    }
    if (!changed.isEmpty())
        update(changed.toAlignedRect());
}

void DrawingView::applyEdits(const StrokeEdits& edits, bool undo)
{
    // With no drag open every stroke is in the layer, unless there is no layer to hold them.
    const bool layered = m_bakedCount == m_strokes.size();
    const auto patches = m_patches.find(m_changeCount);
    m_changeCount += undo ? -1 : 1;
    QRectF area;
    bool appendsOnly = !undo;
    for (qsizetype k = 0; k < edits.size(); ++k) {
        const StrokeEdit& edit = edits[undo ? edits.size() - 1 - k : k];
        const QRectF bounds = strokeBounds(edit.stroke);
        area |= bounds;
        appendsOnly = appendsOnly && edit.added;
        if (edit.added != undo) {
            m_strokes.insert(edit.index, edit.stroke);
            if (layered)
                m_bakedBounds.insert(edit.index, bounds);
        } else {
            m_strokes.remove(edit.index);
            if (layered)
                m_bakedBounds.remove(edit.index);
        }
    }
    if (layered) {
        m_bakedCount = m_strokes.size();
        if (undo && patches != m_patches.end() && restorePatches(patches->second.patches)) {
        } else if (appendsOnly && layerFits()) {
            // Strokes drawn again land on top, as they did the first time.
            QPainter painter(&m_layer);
            painter.setRenderHint(QPainter::Antialiasing);
            for (const StrokeEdit& edit : edits)
                paintStroke(painter, edit.stroke);
        } else {
            repaintLayer(area);
        }
    }
    update(area.toAlignedRect());
}

void DrawingView::reportPending()
{
    if (m_drawing) {
        m_pending.append({m_strokes.size() - 1, m_strokes.last(), true});
        if (m_bakedCount < m_strokes.size())
            m_pendingPatched = false;
    }
    m_drawing = false;
    QList<LayerPatch> patches = std::exchange(m_pendingPatches, {});
    const bool patched = std::exchange(m_pendingPatched, true);
    if (m_pending.isEmpty())
        return;
    ++m_changeCount;
    keepPatches(patched ? std::move(patches) : QList<LayerPatch>());
    const StrokeEdits edits = std::exchange(m_pending, {});
    if (onEdited)
        onEdited(edits);
}

void DrawingView::keepBefore(const QRectF& area)
{
    if (!layerFits()) {
        m_pendingPatched = false;
        return;
    }
    const qreal dpr = m_layer.devicePixelRatio();
    const QRect pixels =
        QRectF(area.topLeft() * dpr, area.size() * dpr).toAlignedRect() & m_layer.rect();
    if (!pixels.isEmpty())
        m_pendingPatches.append({pixels, m_layer.copy(pixels), m_layer.size()});
}

void DrawingView::keepPatches(QList<LayerPatch> patches)
{
    // Those of changes undone and not redone: their numbers are taken again from here on.
    for (auto it = m_patches.lower_bound(m_changeCount); it != m_patches.end();) {
        m_patchBytes -= it->second.bytes;
        m_budget->release(it->second.stamp);
        it = m_patches.erase(it);
    }
    // An empty list would restore nothing; without patches undo repaints the area.
    if (patches.isEmpty())
        return;
    qsizetype bytes = 0;
    for (const LayerPatch& patch : patches)
        bytes += patch.before.sizeInBytes();
    m_patchBytes += bytes;
    m_patches.emplace(m_changeCount,
                      KeptPatches{std::move(patches), m_budget->keep(this, bytes), bytes});
    // The budget holds for every display together; this may drop what was just kept.
    m_budget->trim();
}

void DrawingView::dropKeptPixels(quint64 stamp)
{
    const auto it = std::find_if(m_patches.begin(), m_patches.end(), [stamp](const auto& entry) {
        return entry.second.stamp == stamp;
    });
    if (it != m_patches.end()) {
        m_patchBytes -= it->second.bytes;
        m_patches.erase(it);
    }
    m_budget->release(stamp);
}

bool DrawingView::restorePatches(const QList<LayerPatch>& patches)
{
    const qreal dpr = devicePixelRatioF();
    for (const LayerPatch& patch : patches) {
        const bool whole = patch.pixels.size() == patch.layer;
        if (patch.layer != layerSize() || patch.before.devicePixelRatio() != dpr ||
            (!whole && !layerFits()))
            return false;
    }
    for (auto it = patches.crbegin(); it != patches.crend(); ++it) {
        if (it->pixels.size() == it->layer) {
            m_layer = it->before;
            continue;
        }
        const int rowBytes = it->pixels.width() * 4;
        for (int y = 0; y < it->pixels.height(); ++y)
            std::memcpy(m_layer.scanLine(it->pixels.y() + y) + it->pixels.x() * 4,
                        it->before.constScanLine(y), std::size_t(rowBytes));
    }
    return true;
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
    // A press without a release (the grab was lost) leaves a finished stroke behind, whichever
    // tool presses, so each change holds the layer pixels it painted over.
    m_activeStrokeIndex.reset();
    bakeFinishedStrokes();
    reportPending();
    m_modifiers = event->modifiers();
    if (m_mode == DrawingMode::eraser) {
        erase(p);
        return;
    }
    m_strokes.append(Stroke{{p}, m_currentColor, m_currentWidth});
    m_activeStrokeIndex = m_strokes.size() - 1;
    m_drawing = true;
    m_path = {};
    update(strokeBounds(m_strokes.last()).toAlignedRect());
    // A shape key held before the press.
    followPointer({});
}

void DrawingView::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const QPointF p = event->position();
    m_modifiers = event->modifiers();
    if (m_mode == DrawingMode::pen && hasActiveStroke()) {
        followPointer(p);
        return;
    }
    erase(p);
}

void DrawingView::followPointer(std::optional<QPointF> moved)
{
    Stroke& s = m_strokes[*m_activeStrokeIndex];
    const StrokeShape shape = shapeForKeys(m_modifiers, m_ellipseKey);
    if (shape == StrokeShape::freehand && s.shape == StrokeShape::freehand) {
        if (!moved)
            return;
        const Stroke segment{{s.points.last(), *moved}, s.color, s.width};
        s.points.append(*moved);
        update(strokeBounds(segment).toAlignedRect());
        return;
    }
    const bool wasFreehand = s.shape == StrokeShape::freehand;
    const QRegion before = wasFreehand ? strokeRegion(s) : m_shapeShown;
    if (moved)
        (wasFreehand ? s.points : m_path).append(*moved);
    if (shape == StrokeShape::freehand) {
        s.points = std::exchange(m_path, {});
    } else {
        if (wasFreehand)
            m_path = std::exchange(s.points, {});
        s.points = {m_path.first(), m_path.last()};
    }
    s.shape = shape;
    const QRegion after = strokeRegion(s);
    m_shapeShown = after;
    update(before + after);
}

void DrawingView::setShapeKeys(Qt::KeyboardModifiers modifiers, bool ellipseKey)
{
    m_modifiers = modifiers;
    m_ellipseKey = ellipseKey;
    if (m_mode == DrawingMode::pen && hasActiveStroke())
        followPointer({});
}

void DrawingView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_activeStrokeIndex.reset();
    m_path = {};
    bakeFinishedStrokes();
    reportPending();
}

bool DrawingView::shapeKey(QKeyEvent* event, bool pressed)
{
    Qt::KeyboardModifiers modifiers = event->modifiers();
    bool ellipseKey = m_ellipseKey;
    // Whether a modifier key's own event counts it as held differs between platforms.
    switch (event->key()) {
    case Qt::Key_Shift:
        modifiers.setFlag(Qt::ShiftModifier, pressed);
        break;
    case Qt::Key_Control:
        modifiers.setFlag(Qt::ControlModifier, pressed);
        break;
    case Qt::Key_Space:
        // A held key repeats as releases and presses.
        if (event->isAutoRepeat())
            return true;
        ellipseKey = pressed;
        break;
    default:
        return false;
    }
    setShapeKeys(modifiers, ellipseKey);
    if (onShapeKeys)
        onShapeKeys(modifiers, ellipseKey);
    return true;
}

void DrawingView::keyPressEvent(QKeyEvent* event)
{
    if (shapeKey(event, true))
        return;
    const auto raise = [](const auto& callback, auto... args) {
        if (callback)
            callback(args...);
    };
    // Keys without characters (arrows, function keys) and other characters are passed on.
    switch (commandForKeyPress(event->key(), event->modifiers(), event->text(), m_settings)) {
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
    case CanvasCommand::undo:
        raise(onUndo);
        break;
    case CanvasCommand::redo:
        raise(onRedo);
        break;
    case CanvasCommand::none:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void DrawingView::keyReleaseEvent(QKeyEvent* event)
{
    if (!shapeKey(event, false))
        QWidget::keyReleaseEvent(event);
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
    for (qsizetype i = m_bakedCount; i < end; ++i) {
        m_bakedBounds.append(strokeBounds(m_strokes[i]));
        // Along a shape's outline only, not the whole box around it.
        for (const QRect& area : strokeRegion(m_strokes[i]))
            keepBefore(area);
        QPainter painter(&m_layer);
        painter.setRenderHint(QPainter::Antialiasing);
        paintStroke(painter, m_strokes[i]);
    }
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
        if (m_bakedBounds[i].intersects(clip))
            paintStroke(painter, m_strokes[i]);
    }
}

QSize DrawingView::layerSize() const
{
    return (QSizeF(size()) * devicePixelRatioF()).toSize();
}

bool DrawingView::layerFits() const
{
    return !m_layer.isNull() && m_layer.size() == layerSize() &&
           m_layer.devicePixelRatio() == devicePixelRatioF();
}

bool DrawingView::ensureLayer()
{
    const qreal dpr = devicePixelRatioF();
    const QSize pixels = layerSize();
    if (pixels.isEmpty())
        return false;
    if (layerFits())
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
