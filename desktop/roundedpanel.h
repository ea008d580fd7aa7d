#pragma once

#include <QColor>
#include <QWidget>

// A rounded (radius 8) panel with a one-pixel border. It takes the presses that miss its
// children, so nothing below it reacts to them.
class RoundedPanel : public QWidget
{
public:
    RoundedPanel(const QColor& fill, const QColor& border, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QColor m_fill;
    QColor m_border;
};
