#include "app/applicationsetup.h"

#include "app/icons.h"

#include <QApplication>

// No display name is set: on X11 Qt would append it to every window title.
void setUpApplication()
{
    QApplication::setApplicationName(QStringLiteral("vellori"));
    QApplication::setOrganizationName(QStringLiteral("Vellori"));
    QApplication::setDesktopFileName(QStringLiteral("vellori"));
    QApplication::setWindowIcon(Icons::pen());
    // The program lives in the tray; closing the control window only hides it.
    QApplication::setQuitOnLastWindowClosed(false);
}
