// The built program on the headless Wayland desktop, whose portal offers no GlobalShortcuts:
// the control window tells the user, as a screen reader reads it through the accessibility bus,
// and the command line still toggles the pen.

// wayland-run.sh hands over a copy of the program that the desktop's user can run.
#define VELLORI_BINARY qEnvironmentVariable("VELLORI_PROGRAM")
#include "liveapp.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace live;

namespace
{

void accessibleNames(const QDBusConnection& bus, const QString& service, const QString& path,
                     QStringList& names)
{
    QDBusMessage get =
        QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get");
    get << "org.a11y.atspi.Accessible"
        << "Name";
    const QDBusReply<QDBusVariant> name = bus.call(get);
    if (name.isValid())
        names << name.value().variant().toString();
    const QDBusMessage children = bus.call(
        QDBusMessage::createMethodCall(service, path, "org.a11y.atspi.Accessible", "GetChildren"));
    if (children.type() != QDBusMessage::ReplyMessage || children.arguments().isEmpty())
        return;
    const auto list = children.arguments()[0].value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        QString childService;
        QDBusObjectPath childPath;
        list.beginStructure();
        list >> childService >> childPath;
        list.endStructure();
        accessibleNames(bus, childService, childPath.path(), names);
    }
    list.endArray();
}

// The accessible names of everything the process shows.
QStringList accessibleNames(const QProcess* app)
{
    const QDBusReply<QString> address =
        QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
            "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress"));
    if (!address.isValid())
        return {};
    const QDBusConnection bus = QDBusConnection::connectToBus(address.value(), "a11y");
    QStringList names;
    for (const QString& service : bus.interface()->registeredServiceNames().value()) {
        if (bus.interface()->servicePid(service).value() == uint(app->processId()))
            accessibleNames(bus, service, "/org/a11y/atspi/accessible/root", names);
    }
    return names;
}

void fullscreenOutputs(const QJsonObject& node, QString output, qint64 pid, QStringList& found)
{
    if (node["type"] == "output")
        output = node["name"].toString();
    if (node["pid"].toInteger() == pid && node["fullscreen_mode"].toInt() != 0)
        found << output;
    for (const char* key : {"nodes", "floating_nodes"})
        for (const QJsonValue child : node[key].toArray())
            fullscreenOutputs(child.toObject(), output, pid, found);
}

// The outputs that one of the process's windows covers, as sway lays them out.
QStringList fullscreenOutputs(const QProcess* app)
{
    QByteArray tree;
    run("swaymsg", {"-r", "-t", "get_tree"}, &tree);
    QStringList found;
    fullscreenOutputs(QJsonDocument::fromJson(tree).object(), {}, app->processId(), found);
    found.sort();
    return found;
}

} // namespace

class TestWaylandKeys : public QObject
{
    Q_OBJECT

private slots:
    void guidanceAndPenCommand()
    {
        QVERIFY2(qEnvironmentVariableIsSet("WAYLAND_DISPLAY"), "needs the Wayland test desktop");
        // The desktop's runtime folder holds its socket; Qt asks the bus for accessibility only
        // when a screen reader is on, unless told always to.
        Sandbox sandbox({"QT_QPA_PLATFORM=wayland",
                         "XDG_RUNTIME_DIR=" + qEnvironmentVariable("XDG_RUNTIME_DIR"),
                         "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"});
        QProcess& app = sandbox.start();
        const auto guidance = [&] {
            return accessibleNames(&app).filter("此桌面不向程序提供全局快捷键");
        };
        QTRY_COMPARE_WITH_TIMEOUT(guidance().size(), 1, 15000);
        // No label promises keys that nothing delivers.
        QVERIFY(accessibleNames(&app).filter(QRegularExpression("F[89]")).isEmpty());

        const QStringList both{"HEADLESS-1", "HEADLESS-2"};
        for (const bool open : {true, false}) {
            QCOMPARE(sandbox.command({"--pen"}), 0);
            QTRY_COMPARE_WITH_TIMEOUT(fullscreenOutputs(&app), open ? both : QStringList(), 10000);
        }
        QCOMPARE(app.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestWaylandKeys)
#include "tst_waylandkeys.moc"
