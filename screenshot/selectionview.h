#pragma once

#include <QImage>
#include <QWidget>

#include <functional>
#include <optional>

// The rubber band over a still of one screen: dims it, shows the dragged rectangle lighter with
// a white outline, and reports the rectangle once it is at least 4 x 4.
class SelectionView : public QWidget
{
    Q_OBJECT

public:
    static inline const QString hintText = QStringLiteral("拖拽选择截图区域  ·  Esc / 右键取消");
    static constexpr double minimumSize = 4.0;

    // still: the picture of the screen that the selection is made on, shown under the dimming.
    explicit SelectionView(const QImage& still = {}, QWidget* parent = nullptr);

    std::function<void(const QRectF&)> onComplete;
    std::function<void()> onCancel;

    QRectF selectionRect() const { return m_selectionRect; }
    // Where the hint's top-left goes on a view of that width.
    static QPointF hintPosition(double viewWidth, double textWidth);
    // The rectangle a drag from start to p gives: never negative, never clipped.
    static QRectF dragRect(QPointF start, QPointF p);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_still;
    std::optional<QPointF> m_startPoint;
    QRectF m_selectionRect;
};
