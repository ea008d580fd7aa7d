// desktopdriver KIND (sway, gnome): serves the test desktop of that kind on the session bus until
// killed.

#include "desktopdriver.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QProcess>

#include <cstdio>

bool runTool(const QString& program, const QStringList& arguments, QByteArray* out)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000))
        return false;
    if (out)
        *out = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QString kind = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    std::unique_ptr<DesktopDriver> driver;
    if (kind == "sway")
        driver = createSwayDriver();
    else if (kind == "gnome")
        driver = createGnomeDriver();
    else if (kind == "kwin")
        driver = createKWinDriver();
    if (!driver) {
        std::fprintf(stderr, "usage: desktopdriver sway|gnome|kwin\n");
        return 2;
    }
    qDBusRegisterMetaType<QList<QRect>>();
    DesktopService service(*driver);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject("/", &service, QDBusConnection::ExportAllSlots) ||
        !bus.registerService("org.vellori.TestDesktop")) {
        std::fprintf(stderr, "desktopdriver: cannot serve on the session bus\n");
        return 1;
    }
    return QCoreApplication::exec();
}
