#pragma once

#include <QColor>
#include <QPushButton>

class QColorDialog;

// A button filled with its colour. Clicking it opens a colour dialog that does not block; the
// colour picked there becomes the swatch's colour.
class ColorSwatch : public QPushButton
{
    Q_OBJECT

public:
    explicit ColorSwatch(QWidget* parent = nullptr);

    QColor color() const { return m_color; }
    void setColor(const QColor& color);
    // Made on the first click and reused; null until then.
    QColorDialog* dialog() const { return m_dialog; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void chooseColor();

    QColor m_color;
    QColorDialog* m_dialog = nullptr;
};
