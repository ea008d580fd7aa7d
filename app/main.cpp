#include "app/appdelegate.h"
#include "app/applicationsetup.h"
#include "app/singleinstance.h"
#include "app/terminationsignals.h"

#include <QApplication>

int main(int argc, char* argv[])
{
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
