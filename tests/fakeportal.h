#pragma once

// A GlobalShortcuts portal as its documentation describes it, on a private session bus of its
// own. Calls with other argument types than documented are refused, so the backend only passes
// by speaking the documented interface.

#include "hotkeys/portalhotkeybackend.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QDateTime>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <sys/prctl.h>

namespace Fake
{

// A dbus-daemon of our own, gone with the test even when it crashes. Nothing is activated on it,
// so a name nobody owns stays absent.
class PrivateBus
{
public:
    PrivateBus()
    {
        QFile config(m_folder.filePath("bus.conf"));
        config.open(QIODevice::WriteOnly);
        config.write(
            QStringLiteral("<busconfig><type>session</type><listen>unix:path=%1/bus</listen>"
                           "<auth>EXTERNAL</auth><policy context=\"default\"><allow "
                           "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop="
                           "\"true\"/><allow own=\"*\"/></policy></busconfig>")
                .arg(m_folder.path())
                .toUtf8());
        config.close();
        m_daemon.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_daemon.start("dbus-daemon", {"--nofork", "--nopidfile", "--print-address",
                                       "--config-file=" + config.fileName()});
        if (m_daemon.waitForReadyRead(10000))
            address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }

    QString address; // empty when the daemon did not start

private:
    QTemporaryDir m_folder;
    QProcess m_daemon;
};

class Portal : public QDBusVirtualObject
{
public:
    explicit Portal(const QString& address) : m_bus(QDBusConnection::connectToBus(address, "fake"))
    {
        registerPortalShortcutTypes();
        m_bus.registerVirtualObject(kPath, this, QDBusConnection::SubPath);
        m_bus.registerService("org.freedesktop.portal.Desktop");
    }
    ~Portal() override
    {
        m_bus.unregisterObject(kPath, QDBusConnection::UnregisterTree);
        QDBusConnection::disconnectFromBus("fake");
    }

    uint sessionAnswer = 0, bindAnswer = 0; // response codes; 0 is success
    bool listOnlyOnRequest = false;         // the bind answer leaves the shortcuts out
    QMap<QString, QString> assign;          // triggers given instead of the preferred ones, by id
    // "CreateSession", "BindShortcuts id description trigger; …", "ListShortcuts", "Close",
    // "refused <method>".
    QStringList log;

    void vanish() { m_bus.unregisterService("org.freedesktop.portal.Desktop"); }
    void activate(const QString& id)
    {
        signal("Activated", {id, qulonglong(QDateTime::currentMSecsSinceEpoch()), QVariantMap()});
    }
    void changeTriggers(const QMap<QString, QString>& triggers)
    {
        assign.insert(triggers);
        signal("ShortcutsChanged", {QVariant::fromValue(bound())});
    }

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        const QString member = message.member();
        const QVariantList args = message.arguments();
        m_client = message.service();
        if (member == "Close") {
            log << member;
            return m_bus.send(message.createReply());
        }
        const QMap<QString, QString> signatures{{"CreateSession", "a{sv}"},
                                                {"BindShortcuts", "oa(sa{sv})sa{sv}"},
                                                {"ListShortcuts", "oa{sv}"}};
        if (message.interface() != "org.freedesktop.portal.GlobalShortcuts" ||
            signatures.value(member, "-") != message.signature() ||
            (member != "CreateSession" && args[0].value<QDBusObjectPath>().path() != m_session)) {
            log << "refused " + member;
            return m_bus.send(message.createErrorReply(QDBusError::InvalidArgs, member));
        }
        QString entry = member;
        uint code = 0;
        if (member == "CreateSession") {
            m_session = handle("session", args[0], "session_handle_token");
            code = sessionAnswer;
        } else if (member == "BindShortcuts") {
            m_bound = qdbus_cast<QList<PortalShortcut>>(args[1]);
            QStringList asked;
            for (const PortalShortcut& s : m_bound)
                asked << s.id + ' ' + s.properties["description"].toString() + ' ' +
                             s.properties["preferred_trigger"].toString();
            entry += ' ' + asked.join("; ");
            code = bindAnswer;
        }
        QVariantMap results;
        if (member == "CreateSession")
            results["session_handle"] = m_session;
        else if (member == "ListShortcuts" || !listOnlyOnRequest)
            results["shortcuts"] = QVariant::fromValue(bound());
        log << entry;
        // The request handle comes first, the Response after it, to the caller only.
        const QString request = handle("request", args.last(), "handle_token");
        m_bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QTimer::singleShot(0, this, [this, request, code, results] {
            m_bus.send(QDBusMessage::createTargetedSignal(
                           m_client, request, "org.freedesktop.portal.Request", "Response")
                       << code << results);
        });
        return true;
    }

private:
    static constexpr const char* kPath = "/org/freedesktop/portal/desktop";

    QString handle(const QString& kind, const QVariant& options, const QString& token) const
    {
        return QStringLiteral("%1/%2/%3/%4")
            .arg(kPath, kind, m_client.mid(1).replace('.', '_'),
                 qdbus_cast<QVariantMap>(options).value(token).toString());
    }
    QList<PortalShortcut> bound() const
    {
        QList<PortalShortcut> shortcuts;
        for (const PortalShortcut& s : m_bound)
            shortcuts.append(
                {s.id,
                 {{"description", s.properties["description"]},
                  {"trigger_description",
                   assign.value(s.id, s.properties["preferred_trigger"].toString())}}});
        return shortcuts;
    }
    void signal(const QString& name, const QVariantList& arguments)
    {
        QDBusMessage message = QDBusMessage::createTargetedSignal(
            m_client, kPath, "org.freedesktop.portal.GlobalShortcuts", name);
        message.setArguments(QVariantList{QVariant::fromValue(QDBusObjectPath(m_session))} +
                             arguments);
        m_bus.send(message);
    }

    QDBusConnection m_bus;
    QString m_client, m_session;
    QList<PortalShortcut> m_bound;
};

} // namespace Fake
