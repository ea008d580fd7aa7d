#include "app/appdelegate.h"
#include "app/applicationsetup.h"
#include "app/platformchoice.h"
#include "app/singleinstance.h"
#include "app/terminationsignals.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    // Without a desktop Qt would abort with a core dump.
    if (!applyPlatformChoice()) {
        std::fputs("Vellori 需要图形桌面（X11 或 Wayland），当前没有可用的显示。\n", stderr);
        return 1;
    }
    QApplication app(argc, argv);
    setUpApplication();

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
