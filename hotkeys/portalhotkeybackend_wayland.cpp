#include "hotkeys/portalhotkeybackend.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <array>

namespace
{

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString kSessionInterface = QStringLiteral("org.freedesktop.portal.Session");
// Plasma 5.27 files a program's keys under its session token and keeps them there from one start
// to the next, so every session of ours has the same one.
const QString kSessionToken = QStringLiteral("Vellori");
// Response code of a request that failed before the desktop could answer.
constexpr uint kFailed = 2;

struct Known {
    EventHotKeyID id;
    const char* name;
    const char* description;
};
constexpr std::array<Known, 2> kKnown{{
    {HotKeyIDs::screenshot, "screenshot", "框选截图"},
    {HotKeyIDs::pen, "pen", "开关全屏画笔"},
}};

std::optional<std::size_t> indexOf(EventHotKeyID id)
{
    for (std::size_t i = 0; i < kKnown.size(); ++i) {
        if (kKnown[i].id == id)
            return i;
    }
    return std::nullopt;
}

std::optional<std::size_t> indexOf(const QString& name)
{
    for (std::size_t i = 0; i < kKnown.size(); ++i) {
        if (name == QLatin1String(kKnown[i].name))
            return i;
    }
    return std::nullopt;
}

// Handles come as object paths, though some portal versions send session handles as strings.
QString handleOf(const QVariant& value)
{
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

// Waits for the Response signal of one portal request and goes away after it.
class PortalRequest : public QObject
{
    Q_OBJECT

public:
    PortalRequest(QDBusConnection connection, std::function<void(uint, const QVariantMap&)> done,
                  QObject* parent)
        : QObject(parent), m_connection(std::move(connection)), m_done(std::move(done))
    {
    }

    // Listens on `path`, and only there.
    void listen(const QString& path)
    {
        if (path == m_path)
            return;
        if (!m_path.isEmpty())
            m_connection.disconnect(kService, m_path, kRequestInterface, QStringLiteral("Response"),
                                    this, SLOT(response(uint, QVariantMap)));
        m_path = path;
        m_connection.connect(kService, m_path, kRequestInterface, QStringLiteral("Response"), this,
                             SLOT(response(uint, QVariantMap)));
    }

public slots:
    void response(uint code, const QVariantMap& results)
    {
        // Answered once; the object may be gone before the callback returns.
        auto done = std::move(m_done);
        deleteLater();
        m_connection.disconnect(kService, m_path, kRequestInterface, QStringLiteral("Response"),
                                this, SLOT(response(uint, QVariantMap)));
        if (done)
            done(code, results);
    }

private:
    QDBusConnection m_connection;
    std::function<void(uint, const QVariantMap&)> m_done;
    QString m_path;
};

} // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

void registerPortalShortcutTypes()
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
}

class PortalHotKeyBackend::Private : public QObject
{
    Q_OBJECT

public:
    Private(PortalHotKeyBackend& backend, const QDBusConnection& connection);
    ~Private() override;

    bool registerHotKey(EventHotKeyID id, quint32 virtualKeyCode);
    void unregisterHotKey(EventHotKeyID id);

    // Per entry of kKnown.
    std::array<std::optional<QString>, kKnown.size()> reported;
    bool givesKeys = true;

public slots:
    void activated(const QDBusMessage& message);
    void shortcutsChanged(const QDBusMessage& message);
    void sessionClosed(const QDBusMessage& message);

private:
    void bind();
    QList<PortalShortcut> wantedShortcuts() const;
    void bindShortcuts(quint64 generation);
    // `bindMissing`: binds unless the desktop holds every wanted shortcut already.
    void listShortcuts(quint64 generation, bool bindMissing);
    void ask(const QString& method, QVariantList arguments,
             std::function<void(uint, const QVariantMap&)> done);
    // `complete`: the list holds every bound shortcut, so one missing from it has no key.
    void report(const QList<PortalShortcut>& shortcuts, bool complete, bool answer);
    void refuse();
    // Whether an answer to the binding of `generation` goes on: not when a newer binding has
    // begun, nor after a refusal, which it reports.
    bool goesOn(quint64 generation, uint code);
    void ownerChanged(const QString& service, const QString& oldOwner, const QString& newOwner);
    void closeSession(const QString& session);

    PortalHotKeyBackend& m_backend;
    QDBusConnection m_connection;
    QDBusServiceWatcher m_watcher;
    QTimer m_bindTimer;
    // The trigger asked for, per entry of kKnown; no value when not registered.
    std::array<std::optional<QString>, kKnown.size()> m_wanted;
    // The wanted triggers that the desktop last answered for; none before its first answer.
    std::optional<decltype(m_wanted)> m_answered;
    QString m_session;
    // A session is being created; one with the same token cannot be created meanwhile.
    bool m_creating = false;
    // Answers to requests made before the latest bind() are stale.
    quint64 m_generation = 0;
    quint64 m_tokens = 0;
};

PortalHotKeyBackend::Private::Private(PortalHotKeyBackend& backend,
                                      const QDBusConnection& connection)
    : m_backend(backend), m_connection(connection),
      m_watcher(kService, connection, QDBusServiceWatcher::WatchForOwnerChange)
{
    registerPortalShortcutTypes();
    m_bindTimer.setSingleShot(true);
    m_bindTimer.setInterval(0);
    connect(&m_bindTimer, &QTimer::timeout, this, &Private::bind);
    connect(&m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &Private::ownerChanged);
    m_connection.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                         SLOT(activated(QDBusMessage)));
    m_connection.connect(kService, kPath, kInterface, QStringLiteral("ShortcutsChanged"), this,
                         SLOT(shortcutsChanged(QDBusMessage)));
    m_connection.connect(kService, QString(), kSessionInterface, QStringLiteral("Closed"), this,
                         SLOT(sessionClosed(QDBusMessage)));
}

PortalHotKeyBackend::Private::~Private()
{
    closeSession(m_session);
}

bool PortalHotKeyBackend::Private::registerHotKey(EventHotKeyID id, quint32 virtualKeyCode)
{
    unregisterHotKey(id);
    const std::optional<std::size_t> index = indexOf(id);
    const int number = functionKeyNumber(virtualKeyCode);
    if (!index || number == 0)
        return false;
    if (!m_connection.isConnected()) {
        givesKeys = false;
        reported[*index] = QString();
        return false;
    }
    // The freedesktop shortcut notation of a bare function key.
    m_wanted[*index] = QStringLiteral("F%1").arg(number);
    m_bindTimer.start();
    return true;
}

void PortalHotKeyBackend::Private::unregisterHotKey(EventHotKeyID id)
{
    const std::optional<std::size_t> index = indexOf(id);
    if (!index || !m_wanted[*index])
        return;
    m_wanted[*index].reset();
    m_bindTimer.start();
}

// A session's shortcuts cannot be taken back one by one: every change starts a new session.
void PortalHotKeyBackend::Private::bind()
{
    ++m_generation;
    closeSession(m_session);
    m_session.clear();
    // The pending session is closed when it comes, and this binding made then.
    if (m_creating)
        return;
    if (std::none_of(m_wanted.begin(), m_wanted.end(), [](const auto& w) { return w.has_value(); }))
        return;
    const quint64 generation = m_generation;
    m_creating = true;
    // Plasma 5.27 takes the shortcuts from here, through portal frontends up to 1.16.
    ask(QStringLiteral("CreateSession"),
        {QVariantMap{{QStringLiteral("session_handle_token"), kSessionToken},
                     {QStringLiteral("shortcuts"), QVariant::fromValue(wantedShortcuts())}}},
        [this, generation](uint code, const QVariantMap& results) {
            m_creating = false;
            const QString session = handleOf(results.value(QStringLiteral("session_handle")));
            if (generation != m_generation) {
                closeSession(session);
                bind();
                return;
            }
            if (code != 0 || session.isEmpty()) {
                refuse();
                return;
            }
            m_session = session;
            listShortcuts(generation, true);
        });
}

QList<PortalShortcut> PortalHotKeyBackend::Private::wantedShortcuts() const
{
    QList<PortalShortcut> shortcuts;
    for (std::size_t i = 0; i < kKnown.size(); ++i) {
        if (m_wanted[i]) {
            shortcuts.append(
                {QLatin1String(kKnown[i].name),
                 {{QStringLiteral("description"), QString::fromUtf8(kKnown[i].description)},
                  {QStringLiteral("preferred_trigger"), *m_wanted[i]}}});
        }
    }
    return shortcuts;
}

// Plasma 5.27 opens System Settings at every BindShortcuts.
void PortalHotKeyBackend::Private::bindShortcuts(quint64 generation)
{
    ask(QStringLiteral("BindShortcuts"),
        {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(wantedShortcuts()),
         QString(), QVariantMap()},
        [this, generation](uint code, const QVariantMap& results) {
            if (!goesOn(generation, code))
                return;
            const QVariant shortcuts = results.value(QStringLiteral("shortcuts"));
            if (shortcuts.isValid())
                report(qdbus_cast<QList<PortalShortcut>>(shortcuts), true, true);
            else
                listShortcuts(generation, false);
        });
}

void PortalHotKeyBackend::Private::listShortcuts(quint64 generation, bool bindMissing)
{
    ask(QStringLiteral("ListShortcuts"),
        {QVariant::fromValue(QDBusObjectPath(m_session)), QVariantMap()},
        [this, generation, bindMissing](uint code, const QVariantMap& results) {
            if (!goesOn(generation, code))
                return;
            const auto shortcuts =
                qdbus_cast<QList<PortalShortcut>>(results.value(QStringLiteral("shortcuts")));
            // Keys newly chosen in this run go to the desktop even where it holds ours.
            bool held = !m_answered || *m_answered == m_wanted;
            for (std::size_t i = 0; i < kKnown.size(); ++i) {
                held = held && (!m_wanted[i] ||
                                std::any_of(shortcuts.begin(), shortcuts.end(), [i](const auto& s) {
                                    return s.id == QLatin1String(kKnown[i].name);
                                }));
            }
            if (bindMissing && !held)
                bindShortcuts(generation);
            else
                report(shortcuts, true, true);
        });
}

// The last argument of every request method is its options, where the handle token goes.
void PortalHotKeyBackend::Private::ask(const QString& method, QVariantList arguments,
                                       std::function<void(uint, const QVariantMap&)> done)
{
    const QString token = QStringLiteral("vellori_%1").arg(++m_tokens);
    QVariantMap options = arguments.last().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    arguments.last() = options;
    // Listen where the Response will come before asking, or it may come first.
    QString sender = m_connection.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    auto* request = new PortalRequest(m_connection, std::move(done), this);
    request->listen(kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token);

    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(m_connection.asyncCall(message), request);
    connect(watcher, &QDBusPendingCallWatcher::finished, request,
            [request](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *call;
                if (reply.isError())
                    request->response(kFailed, {});
                else
                    request->listen(reply.value().path());
            });
}

void PortalHotKeyBackend::Private::report(const QList<PortalShortcut>& shortcuts, bool complete,
                                          bool answer)
{
    QList<EventHotKeyID> refused;
    for (std::size_t i = 0; i < kKnown.size(); ++i) {
        if (!m_wanted[i])
            continue;
        const auto it = std::find_if(shortcuts.begin(), shortcuts.end(), [i](const auto& s) {
            return s.id == QLatin1String(kKnown[i].name);
        });
        if (it == shortcuts.end()) {
            if (!complete)
                continue;
            reported[i] = QString();
        } else {
            const QVariant trigger = it->properties.value(QStringLiteral("trigger_description"));
            // A desktop that does not describe the trigger is taken to use the one asked for.
            reported[i] = trigger.isValid() ? std::optional(trigger.toString()) : std::nullopt;
        }
        if (answer && reported[i] && reported[i]->isEmpty())
            refused.append(kKnown[i].id);
    }
    if (answer)
        m_answered = m_wanted;
    givesKeys = true;
    if (m_backend.onReportChanged)
        m_backend.onReportChanged();
    if (!refused.isEmpty() && m_backend.onRefused)
        m_backend.onRefused(refused);
}

bool PortalHotKeyBackend::Private::goesOn(quint64 generation, uint code)
{
    if (generation != m_generation)
        return false;
    if (code != 0)
        refuse();
    return code == 0;
}

// The desktop gives no keys: no portal, no GlobalShortcuts in it, or the session or the binding
// was refused. Nobody else took a key, so nothing is reported refused.
void PortalHotKeyBackend::Private::refuse()
{
    closeSession(m_session);
    m_session.clear();
    givesKeys = false;
    for (std::optional<QString>& key : reported)
        key = QString();
    if (m_backend.onReportChanged)
        m_backend.onReportChanged();
}

// A portal that went took its sessions with it, and will never answer pending requests; one that
// came (back) gets our keys.
void PortalHotKeyBackend::Private::ownerChanged(const QString&, const QString& oldOwner,
                                                const QString& newOwner)
{
    if (!oldOwner.isEmpty()) {
        ++m_generation;
        m_session.clear();
        m_creating = false;
        qDeleteAll(findChildren<PortalRequest*>(Qt::FindDirectChildrenOnly));
        refuse();
    }
    // A portal that our own request started answers that request.
    if (!newOwner.isEmpty() && !m_creating)
        m_bindTimer.start();
}

void PortalHotKeyBackend::Private::activated(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (m_session.isEmpty() || arguments.size() < 2 || handleOf(arguments[0]) != m_session)
        return;
    const std::optional<std::size_t> index = indexOf(arguments[1].toString());
    if (index && m_wanted[*index] && m_backend.onPressed)
        m_backend.onPressed(kKnown[*index].id);
}

void PortalHotKeyBackend::Private::shortcutsChanged(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (m_session.isEmpty() || arguments.size() < 2 || handleOf(arguments[0]) != m_session)
        return;
    report(qdbus_cast<QList<PortalShortcut>>(arguments[1]), false, false);
}

// The desktop ended our session (it restarted, or the machine slept): the keys went with it.
void PortalHotKeyBackend::Private::sessionClosed(const QDBusMessage& message)
{
    if (m_session.isEmpty() || message.path() != m_session)
        return;
    m_session.clear();
    bind();
}

void PortalHotKeyBackend::Private::closeSession(const QString& session)
{
    if (session.isEmpty())
        return;
    m_connection.send(QDBusMessage::createMethodCall(
        kService, session, QStringLiteral("org.freedesktop.portal.Session"),
        QStringLiteral("Close")));
}

PortalHotKeyBackend::PortalHotKeyBackend(const QDBusConnection& connection)
    : m_private(std::make_unique<Private>(*this, connection))
{
}

PortalHotKeyBackend::~PortalHotKeyBackend() = default;

bool PortalHotKeyBackend::registerHotKey(EventHotKeyID id, quint32 virtualKeyCode)
{
    return m_private->registerHotKey(id, virtualKeyCode);
}

void PortalHotKeyBackend::unregisterHotKey(EventHotKeyID id)
{
    m_private->unregisterHotKey(id);
}

std::optional<QString> PortalHotKeyBackend::reportedTrigger(EventHotKeyID id) const
{
    const std::optional<std::size_t> index = indexOf(id);
    return index ? m_private->reported[*index] : std::nullopt;
}

bool PortalHotKeyBackend::givesKeys() const
{
    return m_private->givesKeys;
}

#include "portalhotkeybackend_wayland.moc"
