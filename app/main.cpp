#include "app/appdelegate.h"
#include "app/icons.h"
#include "app/singleinstance.h"
#include "app/terminationsignals.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vellori"));
    QApplication::setOrganizationName(QStringLiteral("Vellori"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vellori截图与红笔"));
    QApplication::setDesktopFileName(QStringLiteral("vellori"));
    QApplication::setWindowIcon(Icons::pen());
    // The program lives in the tray; closing the control window only hides it.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance(SingleInstance::defaultName());
    if (!instance.claim())
        return 0;

    AppDelegate delegate;
    instance.onActivate = [&delegate] { delegate.applicationShouldHandleReopen(); };
    // A session ending or a kill signal leaves through the same door as "退出".
    TerminationSignals termination;
    termination.onTerminate = [&delegate] { delegate.quit(); };
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}
