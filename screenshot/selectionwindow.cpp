#include "screenshot/selectionwindow.h"

#include "screenshot/selectionview.h"

#include <QScreen>
#include <QVBoxLayout>

SelectionWindow::SelectionWindow(QScreen* screen, const QImage& still)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool |
                           Qt::NoDropShadowWindowHint | Qt::X11BypassWindowManagerHint),
      m_view(new SelectionView(still, this))
{
    setAttribute(Qt::WA_TranslucentBackground);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    setScreen(screen);
    setGeometry(screen->geometry());
}
