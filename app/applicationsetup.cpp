#include "app/applicationsetup.h"

#include "app/icons.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

// No display name is set: on X11 Qt would append it to every window title.
void setUpApplication()
{
    QApplication::setApplicationName(QStringLiteral("vellori"));
    QApplication::setOrganizationName(QStringLiteral("Vellori"));
    QApplication::setDesktopFileName(QStringLiteral("vellori"));
    QApplication::setWindowIcon(Icons::pen());
    // The program lives in the tray; closing the control window only hides it.
    QApplication::setQuitOnLastWindowClosed(false);
    // The whole interface is Chinese, so Qt's own dialogs (the colour picker) are too, whatever
    // the system's language.
    auto* translator = new QTranslator(qApp);
    if (translator->load(QStringLiteral("qtbase_zh_CN"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(translator);
    // Qt merges queued pointer motion by default; a fast stroke would keep a few points and show
    // corners. Every motion event the X server delivers becomes a point instead.
    QApplication::setAttribute(Qt::AA_CompressHighFrequencyEvents, false);
}
