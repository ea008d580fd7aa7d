#include "overlay/overlaywindow.h"

#include "desktop/screencover.h"
#include "overlay/overlaycontentview.h"

#include <QVBoxLayout>

OverlayWindow::OverlayWindow(SettingsStore& settings, QScreen* screen, bool showsToolbar,
                             const QImage& backdrop)
    : QWidget(nullptr, screenCoverFlags()), m_screen(screen),
      m_contentView(new OverlayContentView(settings, showsToolbar, backdrop, this))
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_contentView);
    placeOnScreen();
}

void OverlayWindow::placeOnScreen()
{
    if (!m_screen)
        return;
    coverScreen(this, m_screen);
}
