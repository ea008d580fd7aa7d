#pragma once

#include "overlay/stroke.h"

#include <QImage>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class SettingsStore;
class UndoBudget;

// The transparent canvas over one display: left-button drags draw strokes, the eraser removes
// whole strokes near the pointer, letters and the right button raise commands.
//
// Finished strokes are kept rasterised in a layer so that a repaint costs the same however
// many strokes there are; only the stroke being drawn is stroked on every paint. The layer's
// pixels from before each recent change are kept too, so undoing it copies them back instead of
// repainting every stroke that crosses its area.
class DrawingView : public QWidget
{
    Q_OBJECT

public:
    explicit DrawingView(SettingsStore& settings, QWidget* parent = nullptr);
    ~DrawingView() override;

    // The budget for the layer pixels kept for undo, shared with the other displays' canvases;
    // set before the first change. Until then the canvas has one of its own.
    void shareUndoBudget(std::shared_ptr<UndoBudget> budget);
    // The bytes of layer pixels this canvas keeps for undo.
    qsizetype keptBytes() const { return m_patchBytes; }

    std::function<void(int)> onPreset;
    std::function<void()> onEraser;
    std::function<void()> onClear;
    std::function<void()> onExit;
    std::function<void()> onUndo;
    std::function<void()> onRedo;
    // Shift, Control or the ellipse key went down or up on this canvas's keyboard; the owner
    // hands them to every canvas (setShapeKeys), since the drag may be on another display.
    std::function<void(Qt::KeyboardModifiers, bool ellipseKey)> onShapeKeys;
    // A finished change: a stroke drawn, the strokes one eraser drag removed. Raised when the
    // button is released, or when a clear or the next press finds the drag still open.
    std::function<void(const StrokeEdits&)> onEdited;

    DrawingMode mode() const { return m_mode; }
    QColor currentColor() const { return m_currentColor; }
    double currentWidth() const { return m_currentWidth; }
    const QList<Stroke>& strokes() const { return m_strokes; }
    std::optional<qsizetype> activeStrokeIndex() const { return m_activeStrokeIndex; }

    // The keys held that pick a pen drag's shape (shapeForKeys). An open drag takes its new shape
    // at once, without waiting for the pointer to move; pointer events bring the modifiers up to
    // date too.
    void setShapeKeys(Qt::KeyboardModifiers modifiers, bool ellipseKey);
    // Pen colour and width for new strokes; switches to the pen and takes keyboard focus.
    void applyPen(const QColor& color, double width);
    void useEraser();
    // Reports an open drag through onEdited first; returns the edits of the clear itself.
    StrokeEdits clearStrokes();
    // Removes every stroke hit at p (canvas coordinates) and repaints where they were.
    void erase(QPointF p);
    // Undoes a change reported earlier, or makes it again, repainting only where it lies. Only
    // valid on the list as the change left it (undo) or found it (redo), with no drag open.
    void applyEdits(const StrokeEdits& edits, bool undo);
    // A drag has changed the strokes and not yet been reported.
    bool isEditing() const { return m_drawing || !m_pending.isEmpty(); }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool hasActiveStroke() const;
    // Takes the pointer's new position, if it moved, into the drag's stroke, in the shape the
    // keys ask for now, and repaints where the stroke was and is.
    void followPointer(std::optional<QPointF> moved);
    // Shift, Control and the ellipse key; false for other keys.
    bool shapeKey(QKeyEvent* event, bool pressed);
    void reportPending();
    void updateCursor();
    // Rasterises the strokes not yet in the layer, except one still being drawn.
    void bakeFinishedStrokes();
    // Repaints part of the layer from the baked strokes, after some were removed.
    void repaintLayer(const QRectF& area);
    bool ensureLayer();
    QSize layerSize() const;
    bool layerFits() const;

    // Layer pixels as they were before a change painted over them.
    struct LayerPatch {
        QRect pixels;
        QImage before;
        QSize layer;
    };
    // Keeps the pixels under area (canvas coordinates) for the open change.
    void keepBefore(const QRectF& area);
    // Files the patches of change number m_changeCount, dropping those of undone changes and,
    // over the budget, the oldest of any display.
    void keepPatches(QList<LayerPatch> patches);
    friend class UndoBudget;
    // Drops the patches kept under the budget's stamp, and releases it.
    void dropKeptPixels(quint64 stamp);
    // Copies the patches back, newest first; false when the layer no longer matches them.
    bool restorePatches(const QList<LayerPatch>& patches);

    SettingsStore& m_settings;
    DrawingMode m_mode = DrawingMode::pen;
    QColor m_currentColor;
    double m_currentWidth = 4.0;
    QList<Stroke> m_strokes;
    std::optional<qsizetype> m_activeStrokeIndex;
    Qt::KeyboardModifiers m_modifiers;
    bool m_ellipseKey = false;
    // While the drag's stroke is a shape: the pointer's path, for when the keys let go of it;
    // and where the shape was painted.
    QList<QPointF> m_path;
    QRegion m_shapeShown;

    QImage m_layer;
    // m_strokes[0, m_bakedCount) are painted into m_layer; m_bakedBounds holds their bounds.
    qsizetype m_bakedCount = 0;
    QList<QRectF> m_bakedBounds;

    // The open drag's edits; m_drawing while the stroke it draws is still the last one.
    StrokeEdits m_pending;
    bool m_drawing = false;
    QList<LayerPatch> m_pendingPatches;
    // False once the open change touched the layer without keeping what was there.
    bool m_pendingPatched = true;
    // This canvas's changes in effect, counted; the patches of recent ones by that count.
    qsizetype m_changeCount = 0;
    struct KeptPatches {
        QList<LayerPatch> patches;
        quint64 stamp;
        qsizetype bytes;
    };
    std::map<qsizetype, KeptPatches> m_patches;
    qsizetype m_patchBytes = 0;
    std::shared_ptr<UndoBudget> m_budget;
};
