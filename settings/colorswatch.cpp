#include "settings/colorswatch.h"

#include <QColorDialog>
#include <QPainter>

ColorSwatch::ColorSwatch(QWidget* parent) : QPushButton(parent)
{
    connect(this, &QPushButton::clicked, this, &ColorSwatch::chooseColor);
}

void ColorSwatch::setColor(const QColor& color)
{
    m_color = color;
    update();
}

void ColorSwatch::paintEvent(QPaintEvent* event)
{
    QPushButton::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    painter.setBrush(m_color);
    painter.drawRoundedRect(QRectF(rect()).adjusted(6.5, 6.5, -6.5, -6.5), 3, 3);
}

void ColorSwatch::chooseColor()
{
    if (!m_dialog) {
        m_dialog = new QColorDialog(this);
        connect(m_dialog, &QColorDialog::colorSelected, this, &ColorSwatch::setColor);
    }
    m_dialog->setCurrentColor(m_color);
    // open() rather than getColor(): a nested modal loop would stall the rest of the program.
    m_dialog->open();
}
