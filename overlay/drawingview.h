#pragma once

#include "overlay/stroke.h"

#include <QImage>
#include <QWidget>

#include <functional>
#include <optional>

class SettingsStore;

// The transparent canvas over one display: left-button drags draw strokes, the eraser removes
// whole strokes near the pointer, letters and the right button raise commands.
//
// Finished strokes are kept rasterised in a layer so that a repaint costs the same however
// many strokes there are; only the stroke being drawn is stroked on every paint.
class DrawingView : public QWidget
{
    Q_OBJECT

public:
    explicit DrawingView(SettingsStore& settings, QWidget* parent = nullptr);

    std::function<void(int)> onPreset;
    std::function<void()> onEraser;
    std::function<void()> onClear;
    std::function<void()> onExit;

    DrawingMode mode() const { return m_mode; }
    QColor currentColor() const { return m_currentColor; }
    double currentWidth() const { return m_currentWidth; }
    const QList<Stroke>& strokes() const { return m_strokes; }
    std::optional<qsizetype> activeStrokeIndex() const { return m_activeStrokeIndex; }

    // Pen colour and width for new strokes; switches to the pen and takes keyboard focus.
    void applyPen(const QColor& color, double width);
    void useEraser();
    void clearStrokes();
    // Removes every stroke hit at p (canvas coordinates); the caller repaints.
    void erase(QPointF p);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool hasActiveStroke() const;
    void eraseAndRepaint(QPointF p);
    void updateCursor();
    // Rasterises the strokes not yet in the layer, except one still being drawn.
    void bakeFinishedStrokes();
    // Repaints part of the layer from the baked strokes, after some were removed.
    void repaintLayer(const QRectF& area);
    bool ensureLayer();

    SettingsStore& m_settings;
    DrawingMode m_mode = DrawingMode::pen;
    QColor m_currentColor;
    double m_currentWidth = 4.0;
    QList<Stroke> m_strokes;
    std::optional<qsizetype> m_activeStrokeIndex;

    QImage m_layer;
    // m_strokes[0, m_bakedCount) are painted into m_layer.
    qsizetype m_bakedCount = 0;
};
