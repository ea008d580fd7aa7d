#include "screenshot/capturerfactory.h"

#include <QGuiApplication>
#include <QScreen>
#include <QtEndian>

#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

// Last: Xlib's macros (None, Bool, Status, ...) must not reach the headers above.
#include <X11/Xlib.h>

namespace
{

// Pixels per round trip to the server: large enough that the trips cost little, small enough
// to stay in cache.
constexpr size_t kStripBytes = size_t(2) << 20;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

CaptureResult failure(const QString& why)
{
    return {{}, why};
}

QString readError()
{
    return QStringLiteral("无法读取屏幕内容。");
}

// Where each 8-bit channel sits in a 32-bit pixel of the X server.
struct PixelLayout {
    bool swap = false;                 // the server's byte order is not ours
    int red = 16, green = 8, blue = 0; // right shifts
};

// Copies 32-bit X pixels into opaque QRgb.
template <bool Swap>
void convertRows(const uchar* src, qsizetype srcStride, QImage& image, QPoint at, QSize size,
                 const PixelLayout& layout)
{
    const int r = layout.red, g = layout.green, b = layout.blue;
    for (int y = 0; y < size.height(); ++y) {
        const uchar* s = src + y * srcStride;
        QRgb* d = reinterpret_cast<QRgb*>(image.scanLine(at.y() + y)) + at.x();
        for (int x = 0; x < size.width(); ++x) {
            quint32 p;
            std::memcpy(&p, s + 4 * x, 4);
            if constexpr (Swap)
                p = qbswap(p);
            d[x] =
                0xff000000u | ((p >> r) & 0xff) << 16 | ((p >> g) & 0xff) << 8 | ((p >> b) & 0xff);
        }
    }
}

// A System V shared memory segment the X server writes images into (MIT-SHM): saves
// sending the pixels through the socket, the slow part of reading a large area.
class ShmSegment
{
public:
    ShmSegment(xcb_connection_t* c, size_t bytes) : m_connection(c)
    {
        m_shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (m_shmId < 0)
            return;
        void* address = shmat(m_shmId, nullptr, 0);
        if (address != reinterpret_cast<void*>(-1)) {
            m_data = static_cast<uchar*>(address);
            m_segment = xcb_generate_id(c);
            // Fails for a server on another machine; the caller then reads through the socket.
            xcb_generic_error_t* error =
                xcb_request_check(c, xcb_shm_attach_checked(c, m_segment, uint32_t(m_shmId), 0));
            m_attached = !error;
            std::free(error);
        }
        // Gone as soon as both sides detach, even if one of them dies.
        shmctl(m_shmId, IPC_RMID, nullptr);
    }
    ~ShmSegment()
    {
        // Qt's connection ends with the application; the server then detaches by itself.
        if (m_attached && qGuiApp)
            xcb_shm_detach(m_connection, m_segment);
        if (m_data)
            shmdt(m_data);
    }
    ShmSegment(const ShmSegment&) = delete;
    ShmSegment& operator=(const ShmSegment&) = delete;

    bool isValid() const { return m_attached; }
    const uchar* data() const { return m_data; }
    xcb_shm_seg_t id() const { return m_segment; }

private:
    xcb_connection_t* m_connection;
    int m_shmId = -1;
    uchar* m_data = nullptr;
    xcb_shm_seg_t m_segment = 0;
    bool m_attached = false;
};

// Reads the root window. Monitors are the RandR 1.5 ones, which Qt reports as screens under
// the same names.
class X11ScreenCapturer : public ScreenCapturer
{
public:
    X11ScreenCapturer(xcb_connection_t* c, int screenNumber);

    std::optional<quint32> displayID(const QScreen* screen) const override;
    bool compositing() const override;
    CaptureResult capture(const QScreen* screen, const QRectF& rect) override;

private:
    struct Monitor {
        xcb_atom_t name;
        QRect geometry; // root-window pixels
    };

    std::optional<Monitor> monitorOf(const QScreen* screen) const;
    QString read(const QRect& area, QImage& image, QPoint at);
    QString convert(const uchar* pixels, uint8_t depth, xcb_visualid_t visual, QImage& image,
                    QPoint at, QSize size) const;
    const ShmSegment* segment();

    xcb_connection_t* m_connection;
    xcb_screen_t* m_screen = nullptr;
    xcb_atom_t m_compositorSelection = XCB_ATOM_NONE;
    bool m_hasMonitors = false;
    bool m_hasShm = false;
    std::unique_ptr<ShmSegment> m_shm;
};

X11ScreenCapturer::X11ScreenCapturer(xcb_connection_t* c, int screenNumber) : m_connection(c)
{
    auto roots = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && roots.rem; ++i)
        xcb_screen_next(&roots);
    if (roots.rem)
        m_screen = roots.data;

    const QByteArray selection = "_NET_WM_CM_S" + QByteArray::number(screenNumber);
    Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, uint16_t(selection.size()), selection.constData()), nullptr));
    if (atom)
        m_compositorSelection = atom->atom;

    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (randr && randr->present) {
        Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
        m_hasMonitors = version && (version->major_version > 1 || version->minor_version >= 5);
    }
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
    m_hasShm = shm && shm->present;
}

std::optional<X11ScreenCapturer::Monitor> X11ScreenCapturer::monitorOf(const QScreen* screen) const
{
    if (!screen || !m_screen || !m_hasMonitors)
        return std::nullopt;
    xcb_connection_t* c = m_connection;
    Reply<xcb_randr_get_monitors_reply_t> monitors(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, m_screen->root, 1), nullptr));
    if (!monitors)
        return std::nullopt;
    std::vector<std::pair<Monitor, xcb_get_atom_name_cookie_t>> candidates;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem;
         xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* m = it.data;
        candidates.push_back(
            {{m->name, QRect(m->x, m->y, m->width, m->height)}, xcb_get_atom_name(c, m->name)});
    }
    std::optional<Monitor> found;
    // Every reply is collected, also after a match, so none is left queued.
    for (const auto& [monitor, cookie] : candidates) {
        Reply<xcb_get_atom_name_reply_t> name(xcb_get_atom_name_reply(c, cookie, nullptr));
        if (name && !found &&
            QString::fromUtf8(xcb_get_atom_name_name(name.get()),
                              xcb_get_atom_name_name_length(name.get())) == screen->name())
            found = monitor;
    }
    return found;
}

std::optional<quint32> X11ScreenCapturer::displayID(const QScreen* screen) const
{
    // The monitor's name atom: atoms live as long as the server, and RandR keeps a monitor's
    // name while it exists.
    if (const std::optional<Monitor> monitor = monitorOf(screen))
        return monitor->name;
    return std::nullopt;
}

bool X11ScreenCapturer::compositing() const
{
    xcb_connection_t* c = m_connection;
    Reply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        c, xcb_get_selection_owner(c, m_compositorSelection), nullptr));
    return owner && owner->owner != XCB_WINDOW_NONE;
}

CaptureResult X11ScreenCapturer::capture(const QScreen* screen, const QRectF& rect)
{
    const std::optional<Monitor> monitor = monitorOf(screen);
    if (!monitor)
        return failure(QStringLiteral("找不到这块屏幕，它可能已被移除。"));
    const qreal ratio = screen->devicePixelRatio();
    // A hair of slack, so 33.333… points at ratio 3 make 100 pixels, not 99.
    const auto pixels = [ratio](qreal points) { return std::floor(points * ratio + 1e-6); };
    const qreal x = pixels(rect.x()), y = pixels(rect.y()), width = pixels(rect.width()),
                height = pixels(rect.height());
    // X coordinates are 16-bit; anything larger is not a rectangle someone selected.
    constexpr qreal limit = 32767;
    if (!(std::abs(x) <= limit && std::abs(y) <= limit && width <= limit && height <= limit))
        return failure(QStringLiteral("选区无效。"));

    const QRect area(monitor->geometry.topLeft() + QPoint(int(x), int(y)),
                     QSize(int(std::max<qreal>(1, width)), int(std::max<qreal>(1, height))));
    // Asked afresh: RandR resizes the root, and reading outside it is an error.
    Reply<xcb_get_geometry_reply_t> root(xcb_get_geometry_reply(
        m_connection, xcb_get_geometry(m_connection, m_screen->root), nullptr));
    if (!root)
        return failure(readError());
    const QRect visible = area & monitor->geometry & QRect(0, 0, root->width, root->height);
    QImage image(area.size(), visible == area ? QImage::Format_RGB32 : QImage::Format_ARGB32);
    if (image.isNull())
        return failure(QStringLiteral("内存不足，无法截取这么大的区域。"));
    if (visible != area)
        image.fill(Qt::transparent);
    if (!visible.isEmpty()) {
        const QString error = read(visible, image, visible.topLeft() - area.topLeft());
        if (!error.isEmpty())
            return failure(error);
    }
    image.setDevicePixelRatio(ratio);
    return {image, {}};
}

// Reads `area` of the root window into `image` with its top-left at `at`, in strips: the
// server copies out the next strip while this side converts the last one, and the pixels
// are still in cache when converted.
QString X11ScreenCapturer::read(const QRect& area, QImage& image, QPoint at)
{
    xcb_connection_t* c = m_connection;
    if (xcb_connection_has_error(c))
        return readError();
    const ShmSegment* shm = segment();
    const int stripRows = std::max(1, int(kStripBytes / (qsizetype(area.width()) * 4)));
    const int strips = (area.height() + stripRows - 1) / stripRows;
    struct Pending {
        QRect rect;
        unsigned int sequence = 0;
    };
    const auto request = [&](int index) {
        Pending p;
        p.rect = QRect(area.x(), area.y() + index * stripRows, area.width(),
                       std::min(stripRows, area.height() - index * stripRows));
        const auto x = int16_t(p.rect.x()), y = int16_t(p.rect.y());
        const auto w = uint16_t(p.rect.width()), h = uint16_t(p.rect.height());
        // Strips alternate between the segment's halves.
        p.sequence =
            shm ? xcb_shm_get_image(c, m_screen->root, x, y, w, h, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                    shm->id(), uint32_t(index % 2 * kStripBytes))
                      .sequence
                : xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, m_screen->root, x, y, w, h, ~0u)
                      .sequence;
        return p;
    };

    Pending next = request(0);
    for (int i = 0; i < strips; ++i) {
        const Pending current = next;
        if (i + 1 < strips)
            next = request(i + 1);
        const QPoint to = at + QPoint(0, current.rect.y() - area.y());
        const size_t bytes = size_t(current.rect.width()) * current.rect.height() * 4;
        QString error = readError();
        // Taken here, or Qt would log it as an unhandled X error.
        xcb_generic_error_t* xError = nullptr;
        if (shm) {
            Reply<xcb_shm_get_image_reply_t> reply(
                xcb_shm_get_image_reply(c, {current.sequence}, &xError));
            if (reply && reply->size == bytes)
                error = convert(shm->data() + i % 2 * kStripBytes, reply->depth, reply->visual,
                                image, to, current.rect.size());
        } else {
            Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(c, {current.sequence}, &xError));
            if (reply && size_t(xcb_get_image_data_length(reply.get())) == bytes)
                error = convert(xcb_get_image_data(reply.get()), reply->depth, reply->visual, image,
                                to, current.rect.size());
        }
        std::free(xError);
        if (!error.isEmpty()) {
            if (i + 1 < strips)
                xcb_discard_reply(c, next.sequence);
            return error;
        }
    }
    return {};
}

// Two strips of MIT-SHM memory, or none when the server cannot share memory with us (another
// machine). Kept between captures: a new segment costs more than the copy it saves.
const ShmSegment* X11ScreenCapturer::segment()
{
    if (!m_hasShm)
        return nullptr;
    if (!m_shm) {
        m_shm = std::make_unique<ShmSegment>(m_connection, 2 * kStripBytes);
        if (!m_shm->isValid()) {
            m_shm.reset();
            m_hasShm = false;
            return nullptr;
        }
    }
    return m_shm.get();
}

QString X11ScreenCapturer::convert(const uchar* pixels, uint8_t depth, xcb_visualid_t visual,
                                   QImage& image, QPoint at, QSize size) const
{
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    int bitsPerPixel = 0;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
        if (f.data->depth == depth)
            bitsPerPixel = f.data->bits_per_pixel;
    }
    const xcb_visualtype_t* type = nullptr;
    for (auto d = xcb_screen_allowed_depths_iterator(m_screen); d.rem && !type;
         xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == visual)
                type = v.data;
        }
    }
    const QString unsupported = QStringLiteral("不支持这块屏幕的颜色格式。");
    if (bitsPerPixel != 32 || !type || type->_class != XCB_VISUAL_CLASS_TRUE_COLOR)
        return unsupported;
    // The top 8 bits of each channel; depth 30 has 10 bits each.
    const auto shift = [](uint32_t mask) {
        return std::popcount(mask) >= 8 ? std::countr_zero(mask) + std::popcount(mask) - 8 : -1;
    };
    PixelLayout layout;
    layout.red = shift(type->red_mask);
    layout.green = shift(type->green_mask);
    layout.blue = shift(type->blue_mask);
    if (layout.red < 0 || layout.green < 0 || layout.blue < 0)
        return unsupported;
    layout.swap =
        (setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST) != (Q_BYTE_ORDER == Q_BIG_ENDIAN);
    const qsizetype stride = qsizetype(size.width()) * 4;
    if (layout.swap)
        convertRows<true>(pixels, stride, image, at, size, layout);
    else
        convertRows<false>(pixels, stride, image, at, size, layout);
    return {};
}

} // namespace

std::unique_ptr<ScreenCapturer> createX11ScreenCapturer()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    // The offscreen platform answers the X11 interface too, but without a connection.
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !x11 || !x11->connection())
        return nullptr;
    // Qt's default X screen; its root holds the monitors Qt shows as screens.
    const int screenNumber = x11->display() ? DefaultScreen(x11->display()) : 0;
    return std::make_unique<X11ScreenCapturer>(x11->connection(), screenNumber);
}
