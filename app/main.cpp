#include "app/appdelegate.h"
#include "app/applicationsetup.h"
#include "app/commandline.h"
#include "app/instanceactions.h"
#include "app/platformchoice.h"
#include "app/singleinstance.h"
#include "app/terminationsignals.h"

#include <QApplication>
#include <QTimer>

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
    // A key binding learns that its screenshot did not start, instead of exit code 0.
    instance.isBusy = [&delegate](InstanceAction action) {
        return action == InstanceAction::Screenshot && delegate.isTakingScreenshot();
    };
    // A session ending or a kill signal leaves through the same door as "退出".
    TerminationSignals termination;
    termination.onTerminate = [&delegate] { delegate.quit(); };
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    delegate.applicationDidFinishLaunching();
    // Later starts are answered from here on, so the first action goes behind the listening: an
    // alert it raises keeps none of them waiting.
    if (const QString failure = instance.listen(); !failure.isEmpty()) {
        std::fputs(QStringLiteral("vellori：无法打开接收命令的通道（%1）；之后的 vellori --pen "
                                  "等命令交不到这个 Vellori。\n")
                       .arg(failure)
                       .toLocal8Bit()
                       .constData(),
                   stderr);
        // After the launch's own messages, which would hide it at once.
        QTimer::singleShot(0, &delegate, [&delegate] {
            delegate.updateStatus(QStringLiteral("命令通道无法打开，vellori --pen 等命令无效"), 30);
        });
    }
    if (command.action != InstanceAction::Show) {
        QTimer::singleShot(0, &delegate, [&delegate, action = command.action] {
            performInstanceAction(delegate, action);
        });
    }
    return QApplication::exec();
}
