#include "app/applicationsetup.h"

#include "app/icons.h"

#include <QApplication>

void setUpApplication()
{
    QApplication::setApplicationName(QStringLiteral("vellori"));
    QApplication::setOrganizationName(QStringLiteral("Vellori"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vellori截图与红笔"));
    QApplication::setDesktopFileName(QStringLiteral("vellori"));
    QApplication::setWindowIcon(Icons::pen());
    // The program lives in the tray; closing the control window only hides it.
    QApplication::setQuitOnLastWindowClosed(false);
}
