#include "screenshot/screencopy_wayland.h"

#include "screenshot/desktopstill.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>

#include <wayland-client.h>

#include <sys/mman.h>
#include <unistd.h>

namespace
{

// wlr-screencopy-unstable-v1, version 3, declared by hand: Debian ships no client code for it.
// Requests and events in the protocol's order; only what is used is named below.
const wl_interface* copyTypes[] = {&wl_buffer_interface};
const wl_message frameRequests[] = {
    {"copy", "o", copyTypes}, {"destroy", "", nullptr}, {"copy_with_damage", "2o", copyTypes}};
const wl_message frameEvents[] = {{"buffer", "uuuu", nullptr},  {"flags", "u", nullptr},
                                  {"ready", "uuu", nullptr},    {"failed", "", nullptr},
                                  {"damage", "2uuuu", nullptr}, {"linux_dmabuf", "3uuu", nullptr},
                                  {"buffer_done", "3", nullptr}};
const wl_interface frameInterface{"zwlr_screencopy_frame_v1", 3, 3, frameRequests, 7, frameEvents};
const wl_interface* captureTypes[] = {
    &frameInterface, nullptr, &wl_output_interface, nullptr, nullptr, nullptr, nullptr};
const wl_message managerRequests[] = {{"capture_output", "nio", captureTypes},
                                      {"capture_output_region", "nioiiii", captureTypes},
                                      {"destroy", "", nullptr}};
const wl_interface managerInterface{
    "zwlr_screencopy_manager_v1", 3, 3, managerRequests, 0, nullptr};
enum : uint32_t { captureOutput = 0, managerDestroy = 2, frameCopy = 0, frameDestroy = 1 };
constexpr uint32_t yInvertFlag = 1;

struct FrameListener {
    void (*buffer)(void*, wl_proxy*, uint32_t format, uint32_t width, uint32_t height,
                   uint32_t stride);
    void (*flags)(void*, wl_proxy*, uint32_t flags);
    void (*ready)(void*, wl_proxy*, uint32_t, uint32_t, uint32_t);
    void (*failed)(void*, wl_proxy*);
    void (*damage)(void*, wl_proxy*, uint32_t, uint32_t, uint32_t, uint32_t);
    void (*linuxDmabuf)(void*, wl_proxy*, uint32_t, uint32_t, uint32_t);
    void (*bufferDone)(void*, wl_proxy*);
};

} // namespace

WaylandOutputs::WaylandOutputs(QObject* parent) : QObject(parent)
{
    m_display = wl_display_connect(nullptr);
    if (!m_display)
        return;
    m_registry = wl_display_get_registry(m_display);
    static const wl_output_listener outputListener{
        [](void* data, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
           const char*, int32_t transform) { static_cast<Output*>(data)->transform = transform; },
        [](void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
            if (flags & WL_OUTPUT_MODE_CURRENT)
                static_cast<Output*>(data)->mode = QSize(width, height);
        },
        [](void*, wl_output*) {},
        [](void*, wl_output*, int32_t) {},
        [](void* data, wl_output*, const char* name) {
            static_cast<Output*>(data)->name = QString::fromUtf8(name);
        },
        [](void*, wl_output*, const char*) {}};
    static const wl_registry_listener registryListener{
        [](void* data, wl_registry* registry, uint32_t global, const char* interface,
           uint32_t version) {
            auto* self = static_cast<WaylandOutputs*>(data);
            if (qstrcmp(interface, wl_output_interface.name) == 0 && version >= 4) {
                // Version 4 names the output as Qt names its screen.
                auto output = std::make_unique<Output>();
                output->global = global;
                output->output = static_cast<wl_output*>(
                    wl_registry_bind(registry, global, &wl_output_interface, 4));
                wl_output_add_listener(output->output, &outputListener, output.get());
                self->m_outputs.push_back(std::move(output));
            } else if (qstrcmp(interface, wl_shm_interface.name) == 0 && !self->m_shm) {
                self->m_shm =
                    static_cast<wl_shm*>(wl_registry_bind(registry, global, &wl_shm_interface, 1));
            } else if (qstrcmp(interface, managerInterface.name) == 0 && !self->m_screencopy) {
                self->m_screencopyVersion = std::min(version, 3u);
                self->m_screencopy = static_cast<wl_proxy*>(wl_registry_bind(
                    registry, global, &managerInterface, self->m_screencopyVersion));
            }
        },
        [](void* data, wl_registry*, uint32_t global) {
            auto* self = static_cast<WaylandOutputs*>(data);
            const auto gone = std::find_if(self->m_outputs.begin(), self->m_outputs.end(),
                                           [&](const auto& o) { return o->global == global; });
            if (gone == self->m_outputs.end())
                return;
            wl_output_release((*gone)->output);
            self->m_outputs.erase(gone);
            if (self->onLost)
                self->onLost();
        }};
    wl_registry_add_listener(m_registry, &registryListener, this);
    // The globals, then what each output tells about itself.
    if (wl_display_roundtrip(m_display) < 0 || wl_display_roundtrip(m_display) < 0) {
        disconnect();
        return;
    }
    m_notifier = new QSocketNotifier(wl_display_get_fd(m_display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &WaylandOutputs::read);
}

WaylandOutputs::~WaylandOutputs()
{
    disconnect();
}

void WaylandOutputs::read()
{
    if (wl_display_dispatch(m_display) < 0 || wl_display_flush(m_display) < 0) {
        disconnect();
        if (onLost)
            onLost();
    }
}

void WaylandOutputs::disconnect()
{
    if (!m_display)
        return;
    delete m_notifier;
    m_notifier = nullptr;
    for (const auto& output : m_outputs)
        wl_output_release(output->output);
    m_outputs.clear();
    if (m_screencopy)
        wl_proxy_marshal_flags(m_screencopy, managerDestroy, nullptr, m_screencopyVersion,
                               WL_MARSHAL_FLAG_DESTROY);
    if (m_shm)
        wl_shm_destroy(m_shm);
    if (m_registry)
        wl_registry_destroy(m_registry);
    m_screencopy = nullptr;
    m_shm = nullptr;
    m_registry = nullptr;
    wl_display_disconnect(m_display);
    m_display = nullptr;
}

const WaylandOutputs::Output* WaylandOutputs::output(const QScreen* screen) const
{
    for (const auto& output : m_outputs) {
        if (screen && !output->name.isEmpty() && output->name == screen->name() &&
            output->mode.isValid())
            return output.get();
    }
    return nullptr;
}

QSize WaylandOutputs::nativeSize(const QScreen* screen) const
{
    const Output* found = output(screen);
    if (!found)
        return {};
    // A quarter turn swaps the sides.
    return found->transform % 2 ? found->mode.transposed() : found->mode;
}

namespace
{

// One copy of every screen, delivered once; then it deletes itself.
class ScreencopyCapture : public QObject
{
public:
    struct Frame {
        ScreencopyCapture* capture = nullptr;
        QPointer<QScreen> screen;
        quint32 displayID = 0;
        wl_proxy* frame = nullptr;
        uint32_t format = 0, stride = 0;
        QSize size;
        bool yInvert = false;
        uchar* pixels = nullptr;
        size_t length = 0;
        wl_buffer* buffer = nullptr;
        QImage image;
    };

    ScreencopyCapture(WaylandOutputs& outputs, std::function<void(StillsResult)> done,
                      QObject* parent)
        : QObject(parent), m_outputs(outputs), m_done(std::move(done))
    {
    }

    ~ScreencopyCapture() override
    {
        for (Frame& frame : m_frames)
            release(frame);
    }

    void start(const std::vector<std::pair<QScreen*, quint32>>& screens)
    {
        static const FrameListener listener{
            [](void* data, wl_proxy*, uint32_t format, uint32_t width, uint32_t height,
               uint32_t stride) {
                auto* frame = static_cast<Frame*>(data);
                frame->format = format;
                frame->size = QSize(int(width), int(height));
                frame->stride = stride;
                // Before version 3 the shared-memory buffer is the only one, and no list ends.
                if (frame->capture->m_outputs.screencopyVersion() < 3)
                    frame->capture->copy(*frame);
            },
            [](void* data, wl_proxy*, uint32_t flags) {
                static_cast<Frame*>(data)->yInvert = flags & yInvertFlag;
            },
            [](void* data, wl_proxy*, uint32_t, uint32_t, uint32_t) {
                auto* frame = static_cast<Frame*>(data);
                frame->capture->ready(*frame);
            },
            [](void* data, wl_proxy*) {
                auto* frame = static_cast<Frame*>(data);
                frame->capture->fail(QStringLiteral("合成器没能读取显示器“%1”。")
                                         .arg(frame->screen ? frame->screen->name() : QString()));
            },
            [](void*, wl_proxy*, uint32_t, uint32_t, uint32_t, uint32_t) {},
            [](void*, wl_proxy*, uint32_t, uint32_t, uint32_t) {},
            [](void* data, wl_proxy*) {
                auto* frame = static_cast<Frame*>(data);
                frame->capture->copy(*frame);
            }};
        m_frames.resize(screens.size());
        if (std::any_of(screens.begin(), screens.end(),
                        [&](const auto& screen) { return !m_outputs.output(screen.first); })) {
            QTimer::singleShot(0, this,
                               [this] { fail(QStringLiteral("显示器在截图时发生了变化。")); });
            return;
        }
        for (std::size_t i = 0; i < screens.size(); ++i) {
            Frame& frame = m_frames[i];
            frame.capture = this;
            frame.screen = screens[i].first;
            frame.displayID = screens[i].second;
            const WaylandOutputs::Output* output = m_outputs.output(screens[i].first);
            frame.frame = wl_proxy_marshal_flags(m_outputs.screencopy(), captureOutput,
                                                 &frameInterface, m_outputs.screencopyVersion(), 0,
                                                 nullptr, 0, output->output);
            wl_proxy_add_listener(
                frame.frame, reinterpret_cast<void (**)()>(const_cast<FrameListener*>(&listener)),
                &frame);
        }
        wl_display_flush(m_outputs.display());
        // A compositor that never answers must not hold the screenshot back.
        QTimer::singleShot(5000, this,
                           [this] { fail(QStringLiteral("合成器在 5 秒内没有交出屏幕图像。")); });
    }

    void fail(const QString& why) { deliver({StillsResult::Status::Failed, {}, why}); }

private:
    void copy(Frame& frame)
    {
        if (frame.buffer || !m_done)
            return;
        frame.length = size_t(frame.stride) * size_t(frame.size.height());
        const int fd = memfd_create("vellori-still", MFD_CLOEXEC);
        if (fd < 0 || frame.size.isEmpty() || ftruncate(fd, off_t(frame.length)) < 0) {
            if (fd >= 0)
                close(fd);
            fail(QStringLiteral("没有足够的共享内存来读取屏幕。"));
            return;
        }
        void* pixels = mmap(nullptr, frame.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (pixels == MAP_FAILED) {
            close(fd);
            fail(QStringLiteral("没有足够的共享内存来读取屏幕。"));
            return;
        }
        frame.pixels = static_cast<uchar*>(pixels);
        wl_shm_pool* pool = wl_shm_create_pool(m_outputs.shm(), fd, int32_t(frame.length));
        frame.buffer = wl_shm_pool_create_buffer(pool, 0, frame.size.width(), frame.size.height(),
                                                 int32_t(frame.stride), frame.format);
        wl_shm_pool_destroy(pool);
        close(fd);
        wl_proxy_marshal_flags(frame.frame, frameCopy, nullptr, wl_proxy_get_version(frame.frame),
                               0, frame.buffer);
    }

    void ready(Frame& frame)
    {
        if (!m_done)
            return;
        frame.image = imageFromBuffer(frame.pixels, frame.size, int(frame.stride), frame.format,
                                      frame.yInvert);
        release(frame);
        if (frame.image.isNull()) {
            fail(QStringLiteral("合成器给出的像素格式无法读取。"));
            return;
        }
        if (std::any_of(m_frames.begin(), m_frames.end(),
                        [](const Frame& f) { return f.image.isNull(); }))
            return;
        StillsResult result{StillsResult::Status::Taken, {}, {}};
        for (Frame& f : m_frames) {
            if (!f.screen) {
                fail(QStringLiteral("显示器在截图时被移除了。"));
                return;
            }
            f.image.setDevicePixelRatio(qreal(f.image.width()) / f.screen->geometry().width());
            result.stills.push_back({f.screen, f.displayID, std::move(f.image)});
        }
        deliver(std::move(result));
    }

    void release(Frame& frame)
    {
        // The connection takes its objects with it when it breaks.
        if (!m_outputs.isConnected())
            frame.frame = nullptr, frame.buffer = nullptr;
        if (frame.frame)
            wl_proxy_marshal_flags(frame.frame, frameDestroy, nullptr,
                                   wl_proxy_get_version(frame.frame), WL_MARSHAL_FLAG_DESTROY);
        if (frame.buffer)
            wl_buffer_destroy(frame.buffer);
        if (frame.pixels)
            munmap(frame.pixels, frame.length);
        frame.frame = nullptr;
        frame.buffer = nullptr;
        frame.pixels = nullptr;
    }

    void deliver(StillsResult result)
    {
        if (!m_done)
            return;
        const std::function<void(StillsResult)> done = std::move(m_done);
        m_done = nullptr;
        // Frames still on their way are cancelled with the capture.
        deleteLater();
        done(std::move(result));
    }

    WaylandOutputs& m_outputs;
    std::function<void(StillsResult)> m_done;
    std::vector<Frame> m_frames;
};

} // namespace

ScreencopyStills::ScreencopyStills(WaylandOutputs& outputs, DisplayID displayID, QObject* parent)
    : QObject(parent), m_outputs(outputs), m_displayID(std::move(displayID))
{
}

bool ScreencopyStills::available() const
{
    if (!m_outputs.screencopy() || !m_outputs.shm())
        return false;
    const QList<QScreen*> screens = QGuiApplication::screens();
    return !screens.isEmpty() && std::all_of(screens.begin(), screens.end(), [&](QScreen* s) {
        const WaylandOutputs::Output* output = m_outputs.output(s);
        return !m_displayID(s) || (output && output->transform == WL_OUTPUT_TRANSFORM_NORMAL);
    });
}

void ScreencopyStills::grab(std::function<void(StillsResult)> done)
{
    std::vector<std::pair<QScreen*, quint32>> screens;
    for (QScreen* screen : QGuiApplication::screens()) {
        if (const std::optional<quint32> id = m_displayID(screen))
            screens.emplace_back(screen, *id);
    }
    auto* capture = new ScreencopyCapture(m_outputs, std::move(done), this);
    if (screens.empty()) {
        // Never before grab returns.
        QTimer::singleShot(0, capture,
                           [capture] { capture->fail(QStringLiteral("没有可以读取的显示器。")); });
        return;
    }
    capture->start(screens);
    // An output that goes away mid-copy may never be answered for.
    const QPointer<ScreencopyCapture> watched(capture);
    m_outputs.onLost = [watched] {
        if (watched)
            watched->fail(QStringLiteral("显示器在截图时发生了变化。"));
    };
}
