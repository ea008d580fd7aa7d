#include "screenshot/capturerfactory.h"
#include "screenshot/kwinstills_wayland.h"
#include "screenshot/portalstills.h"
#include "screenshot/screencopy_wayland.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QScreen>
#include <QTimer>
#include <qpa/qplatformnativeinterface.h>

#include <wayland-client.h>

Q_LOGGING_CATEGORY(lcStills, "vellori.stills", QtInfoMsg)

namespace
{

// A stable identifier per output across runs: FNV-1a of its name.
quint32 nameHash(const QString& name)
{
    quint32 hash = 2166136261u;
    for (const char byte : name.toUtf8()) {
        hash ^= quint8(byte);
        hash *= 16777619u;
    }
    return hash;
}

std::optional<quint32> displayIDOf(const QScreen* screen)
{
    if (!screen || screen->name().isEmpty())
        return std::nullopt;
    return nameHash(screen->name());
}

// Returns once the compositor has handled everything Qt sent it, our windows' unmapping
// included, so no still shows what we just hid. A queue of our own keeps Qt's events to Qt.
void awaitCompositor()
{
    auto* display = static_cast<wl_display*>(
        QGuiApplication::platformNativeInterface()->nativeResourceForIntegration("wl_display"));
    if (!display)
        return;
    wl_event_queue* queue = wl_display_create_queue(display);
    auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(display));
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), queue);
    wl_callback* callback = wl_display_sync(wrapper);
    bool done = false;
    static const wl_callback_listener listener{
        [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback_add_listener(callback, &listener, &done);
    while (!done && wl_display_dispatch_queue(display, queue) >= 0) {
    }
    wl_callback_destroy(callback);
    wl_proxy_wrapper_destroy(wrapper);
    wl_event_queue_destroy(queue);
}

} // namespace

// Reads the outputs the fastest way the desktop offers, chosen at each request by what it
// offers then: wlroots' screencopy, KWin's own interface, and last the portal, which every
// desktop may have. VELLORI_STILLS=NAME keeps
// only the backend of that name.
class WaylandScreenCapturer : public QObject, public ScreenCapturer
{
    Q_OBJECT

public:
    WaylandScreenCapturer()
        : m_outputs(this), m_screencopy(m_outputs, displayIDOf, this), m_kwin(displayIDOf, this),
          m_portal(
              displayIDOf, [this](const QScreen* screen) { return m_outputs.nativeSize(screen); },
              this)
    {
        const QString only = qEnvironmentVariable("VELLORI_STILLS");
        for (StillBackend* backend :
             {static_cast<StillBackend*>(&m_screencopy), static_cast<StillBackend*>(&m_kwin),
              static_cast<StillBackend*>(&m_portal)}) {
            if (only.isEmpty() || backend->name() == only)
                m_backends.push_back(backend);
        }
        for (const auto changed : {&QGuiApplication::screenAdded, &QGuiApplication::screenRemoved})
            connect(qGuiApp, changed, this, [this] { m_compositing.reset(); });
    }

    std::optional<quint32> displayID(const QScreen* screen) const override
    {
        return displayIDOf(screen);
    }

    // sway and Mutter draw black behind a translucent fullscreen window, KWin the desktop; no
    // protocol says which.
    bool compositing() const override { return m_compositing.value_or(false); }
    bool compositingUnknown() const override { return !m_compositing; }
    void setCompositing(bool seen) override { m_compositing = seen; }

    // Once the compositor has taken our windows off, sway shows them in no picture. GNOME Shell
    // goes on showing an unmapped window whole until its closing effect (150 ms) is over, and
    // tells no client when that is: where our windows were, that long and a margin more (at
    // 100 ms, 8 stills in 20 still held the control window).
    void grabStills(std::function<void(StillsResult)> done, const QRegion& vacated) override
    {
        awaitCompositor();
        if (vacated.isEmpty()) {
            grabFrom(0, std::move(done));
            return;
        }
        QTimer::singleShot(kVacatedMs, this, [this, done = std::move(done)]() mutable {
            grabFrom(0, std::move(done));
        });
    }

private:
    static constexpr int kVacatedMs = 250;

    // The first backend from `first` on that is offered; a failed one hands over to the next.
    void grabFrom(std::size_t first, std::function<void(StillsResult)> done)
    {
        std::size_t i = first;
        while (i < m_backends.size() && !m_backends[i]->available())
            ++i;
        if (i >= m_backends.size()) {
            QTimer::singleShot(0, this, [done = std::move(done)] {
                done({StillsResult::Status::Failed, {}, QStringLiteral("没有可用的截图方式。")});
            });
            return;
        }
        qCDebug(lcStills) << "stills through" << m_backends[i]->name();
        m_backends[i]->grab([this, i, done = std::move(done)](StillsResult result) mutable {
            if (result.status != StillsResult::Status::Failed || i + 1 >= m_backends.size()) {
                done(std::move(result));
                return;
            }
            qCDebug(lcStills) << m_backends[i]->name() << "failed:" << result.error;
            grabFrom(i + 1, std::move(done));
        });
    }

    WaylandOutputs m_outputs;
    ScreencopyStills m_screencopy;
    KWinStills m_kwin;
    PortalStills m_portal;
    std::vector<StillBackend*> m_backends;
    std::optional<bool> m_compositing;
};

std::unique_ptr<ScreenCapturer> createWaylandScreenCapturer()
{
    if (QGuiApplication::platformName() != QLatin1String("wayland"))
        return nullptr;
    return std::make_unique<WaylandScreenCapturer>();
}

#include "screencapturer_wayland.moc"
