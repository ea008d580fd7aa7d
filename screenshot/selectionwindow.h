#pragma once

#include <QImage>
#include <QWidget>

class QScreen;
class SelectionView;

// A frameless window exactly over one screen, above everything, holding its rubber band.
class SelectionWindow : public QWidget
{
    Q_OBJECT

public:
    SelectionWindow(QScreen* screen, const QImage& still);

    SelectionView* view() const { return m_view; }

private:
    SelectionView* m_view;
};
