#include "app/appdelegate.h"
#include "app/applicationsetup.h"
#include "app/commandline.h"
#include "app/instanceactions.h"
#include "app/platformchoice.h"
#include "app/singleinstance.h"
#include "app/terminationsignals.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    // A running copy takes the action before this process builds anything.
    const CommandLine command = parseCommandLine(argc, argv);
    SingleInstance instance(SingleInstance::defaultPath());
    if (const std::optional<int> exitCode = endsBeforeLaunch(command, instance))
        return *exitCode;

    // Without a desktop Qt would abort with a core dump.
    if (!applyPlatformChoice()) {
        std::fputs("Vellori 需要图形桌面（X11 或 Wayland），当前没有可用的显示。\n", stderr);
        return 1;
    }
    QApplication app(argc, argv);
    setUpApplication();

    AppDelegate delegate;
    instance.onAction = [&delegate](InstanceAction action) {
        performInstanceAction(delegate, action);
    };
    // A session ending or a kill signal leaves through the same door as "退出".
    TerminationSignals termination;
    termination.onTerminate = [&delegate] { delegate.quit(); };
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    delegate.applicationDidFinishLaunching();
    if (command.action != InstanceAction::Show)
        performInstanceAction(delegate, command.action);
    // Later starts wait on the lock until here, so their actions come after this one's.
    instance.listen();
    return QApplication::exec();
}
