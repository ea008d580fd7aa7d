#include "screenshot/selectionwindow.h"

#include "desktop/screencover.h"
#include "screenshot/selectionview.h"

#include <QScreen>
#include <QVBoxLayout>

SelectionWindow::SelectionWindow(QScreen* screen, const QImage& still)
    : QWidget(nullptr, screenCoverFlags()), m_view(new SelectionView(still, this))
{
    setAttribute(Qt::WA_TranslucentBackground);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    coverScreen(this, screen);
}
