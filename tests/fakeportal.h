#pragma once

// A GlobalShortcuts portal as its documentation describes it, on a private session bus of its
// own, for tests of the portal hot-key backend. Calls with other argument types than documented
// are answered with an error, so the backend only passes by speaking the documented interface.

#include "hotkeys/portalhotkeybackend.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
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

// A dbus-daemon of our own in a temporary folder. Nothing is activated on it, so a name nobody
// owns stays absent.
class PrivateBus
{
public:
    PrivateBus()
    {
        const QString socket = m_folder.filePath("bus");
        QFile config(m_folder.filePath("bus.conf"));
        config.open(QIODevice::WriteOnly);
        config.write(
            QStringLiteral(
                "<busconfig><type>session</type><listen>unix:path=%1</listen><auth>EXTERNAL</auth>"
                "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>")
                .arg(socket)
                .toUtf8());
        config.close();
        // Gone with the test, even when it crashes.
        m_daemon.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_daemon.start("dbus-daemon", {"--nofork", "--nopidfile", "--print-address",
                                       "--config-file=" + config.fileName()});
        if (m_daemon.waitForReadyRead(10000))
            address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }
    ~PrivateBus()
    {
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }

    QString address; // empty when the daemon did not start

private:
    QTemporaryDir m_folder;
    QProcess m_daemon;
};

class Portal : public QDBusVirtualObject
{
public:
    // Ready once registered on `address`.
    explicit Portal(const QString& address)
        : m_connection(QDBusConnection::connectToBus(address, "fake-portal"))
    {
        registerPortalShortcutTypes();
        m_connection.registerVirtualObject(kPath, this, QDBusConnection::SubPath);
        m_connection.registerService("org.freedesktop.portal.Desktop");
    }
    ~Portal() override
    {
        m_connection.unregisterObject(kPath, QDBusConnection::UnregisterTree);
        QDBusConnection::disconnectFromBus("fake-portal");
    }

    // Response codes; 0 is success.
    uint sessionAnswer = 0, bindAnswer = 0;
    // The bind answer leaves the shortcuts out, so the backend has to list them.
    bool listOnlyOnRequest = false;
    // Triggers the desktop assigns instead of the preferred ones, by shortcut id.
    QMap<QString, QString> assign;
    // One line per call: "CreateSession", "BindShortcuts id description trigger; …",
    // "ListShortcuts", "Close".
    QStringList log;

    void vanish() { m_connection.unregisterService("org.freedesktop.portal.Desktop"); }

    void activate(const QString& id)
    {
        signal("Activated", {QVariant::fromValue(QDBusObjectPath(m_session)), id,
                             qulonglong(QDateTime::currentMSecsSinceEpoch()), QVariantMap()});
    }

    void changeTriggers(const QMap<QString, QString>& triggers)
    {
        assign.insert(triggers);
        signal("ShortcutsChanged",
               {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(bound())});
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        const QString member = message.member(), signature = message.signature();
        if (message.interface() == "org.freedesktop.portal.Session" && member == "Close") {
            log << "Close";
            return m_connection.send(message.createReply());
        }
        if (message.interface() != "org.freedesktop.portal.GlobalShortcuts")
            return error(message, "org.freedesktop.DBus.Error.UnknownMethod");
        m_client = message.service();
        const QVariantList args = message.arguments();
        QVariantMap results;
        uint code = 0;
        if (member == "CreateSession" && signature == "a{sv}") {
            log << member;
            m_session =
                handle("session", qdbus_cast<QVariantMap>(args[0]).value("session_handle_token"));
            results["session_handle"] = m_session;
            code = sessionAnswer;
        } else if (member == "BindShortcuts" && signature == "oa(sa{sv})sa{sv}" &&
                   sessionOf(args[0])) {
            m_bound = qdbus_cast<QList<PortalShortcut>>(args[1]);
            QStringList shortcuts;
            for (const PortalShortcut& s : m_bound)
                shortcuts << QStringList{s.id, s.properties["description"].toString(),
                                         s.properties["preferred_trigger"].toString()}
                                 .join(' ');
            log << member + ' ' + shortcuts.join("; ");
            code = bindAnswer;
            if (!listOnlyOnRequest)
                results["shortcuts"] = QVariant::fromValue(bound());
        } else if (member == "ListShortcuts" && signature == "oa{sv}" && sessionOf(args[0])) {
            log << member;
            results["shortcuts"] = QVariant::fromValue(bound());
        } else {
            return error(message, "org.freedesktop.DBus.Error.InvalidArgs");
        }
        // The request handle comes first, the Response after it, to the caller only.
        const QString request =
            handle("request", qdbus_cast<QVariantMap>(args.last()).value("handle_token"));
        m_connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QTimer::singleShot(0, this, [this, request, code, results] {
            QDBusMessage response = QDBusMessage::createTargetedSignal(
                m_client, request, "org.freedesktop.portal.Request", "Response");
            response << code << results;
            m_connection.send(response);
        });
        return true;
    }

private:
    static constexpr const char* kPath = "/org/freedesktop/portal/desktop";

    QString handle(const QString& kind, const QVariant& token) const
    {
        return QStringLiteral("%1/%2/%3/%4")
            .arg(kPath, kind, m_client.mid(1).replace('.', '_'), token.toString());
    }
    bool sessionOf(const QVariant& handle) const
    {
        return handle.value<QDBusObjectPath>().path() == m_session;
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
    bool error(const QDBusMessage& message, const QString& name)
    {
        log << "refused " + message.member();
        return m_connection.send(message.createErrorReply(name, message.member()));
    }
    void signal(const QString& name, const QVariantList& arguments)
    {
        QDBusMessage message = QDBusMessage::createTargetedSignal(
            m_client, kPath, "org.freedesktop.portal.GlobalShortcuts", name);
        message.setArguments(arguments);
        m_connection.send(message);
    }

    QDBusConnection m_connection;
    QString m_client, m_session;
    QList<PortalShortcut> m_bound;
};

} // namespace Fake
