#include "screenshot/kwinstills_wayland.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace
{

const QString kService = QStringLiteral("org.kde.KWin.ScreenShot2");
constexpr int kAnswerTimeout = 5000;
// More than any output's pixels: 16384 x 8192 at four bytes.
constexpr qsizetype kMaxBytes = qsizetype(512) << 20;

} // namespace

// One request: a CaptureScreen call per output, all at once, each answered with the layout of
// the pixels KWin writes into that output's pipe. Delivers once, then deletes itself.
class KWinCapture : public QObject
{
public:
    KWinCapture(QObject* parent, std::function<void(StillsResult)> done)
        : QObject(parent), m_done(std::move(done))
    {
        m_timeout.setSingleShot(true);
        connect(&m_timeout, &QTimer::timeout, this,
                [this] { fail(QStringLiteral("KWin 在 5 秒内没有交出屏幕图像。")); });
        m_timeout.start(kAnswerTimeout);
    }

    ~KWinCapture() override
    {
        for (const auto& output : m_outputs) {
            if (output->fd >= 0)
                ::close(output->fd);
        }
    }

    // False when the request could not be made at all.
    bool capture(QScreen* screen, quint32 displayID)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return false;
        auto& output = *m_outputs.emplace_back(std::make_unique<Output>());
        output.screen = screen;
        output.displayID = displayID;
        output.fd = fds[0];
        auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this, &output, notifier] {
            if (!read(output))
                notifier->setEnabled(false);
        });
        QDBusMessage call =
            QDBusMessage::createMethodCall(kService, QStringLiteral("/org/kde/KWin/ScreenShot2"),
                                           kService, QStringLiteral("CaptureScreen"));
        // The message holds a copy of the write end; ours goes at once, so KWin's is the last.
        call << screen->name() << QVariantMap{{QStringLiteral("native-resolution"), true}}
             << QVariant::fromValue(QDBusUnixFileDescriptor(fds[1]));
        ::close(fds[1]);
        auto* watcher = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(call, kAnswerTimeout), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, &output, watcher] {
            watcher->deleteLater();
            const QDBusPendingReply<QVariantMap> reply = *watcher;
            if (reply.isError()) {
                fail(reply.error().name().endsWith(QLatin1String("NoAuthorized"))
                         ? QStringLiteral("KWin 不允许本程序直接读取屏幕。")
                         : QStringLiteral("KWin 没能截取屏幕：") + reply.error().message());
                return;
            }
            output.layout = reply.value();
            finishIfComplete();
        });
        return true;
    }

    void fail(const QString& why) { deliver({StillsResult::Status::Failed, {}, why}); }

    // Once every output has its layout and all of its pixels.
    void finishIfComplete()
    {
        for (const auto& output : m_outputs) {
            if (output->layout && output->ended && output->data.size() < bytesOf(*output->layout))
                return fail(QStringLiteral("KWin 交出的屏幕图像不完整。"));
            if (!output->layout || output->data.size() < bytesOf(*output->layout))
                return;
        }
        StillsResult result{StillsResult::Status::Taken, {}, {}};
        for (const auto& output : m_outputs) {
            const QVariantMap& layout = *output->layout;
            const int width = layout.value(QStringLiteral("width")).toInt();
            const auto format = QImage::Format(layout.value(QStringLiteral("format")).toInt());
            if (!output->screen || layout.value(QStringLiteral("type")).toString() != "raw" ||
                bytesOf(layout) <= 0 || format <= QImage::Format_Invalid ||
                format >= QImage::NImageFormats) {
                return fail(QStringLiteral("KWin 交出的屏幕图像无法读取。"));
            }
            QImage still = QImage(reinterpret_cast<const uchar*>(output->data.constData()), width,
                                  layout.value(QStringLiteral("height")).toInt(),
                                  layout.value(QStringLiteral("stride")).toInt(), format)
                               .convertToFormat(QImage::Format_RGB32);
            if (still.isNull())
                return fail(QStringLiteral("KWin 交出的屏幕图像无法读取。"));
            still.setDevicePixelRatio(qreal(width) / output->screen->geometry().width());
            result.stills.push_back({output->screen, output->displayID, std::move(still)});
        }
        deliver(std::move(result));
    }

private:
    struct Output {
        QPointer<QScreen> screen;
        quint32 displayID = 0;
        int fd = -1;
        QByteArray data;
        bool ended = false;
        std::optional<QVariantMap> layout;
    };

    // Takes what the pipe holds; false once it has ended.
    bool read(Output& output)
    {
        char buffer[1 << 16];
        for (;;) {
            const ssize_t n = ::read(output.fd, buffer, sizeof buffer);
            if (n > 0 && output.data.size() + n > kMaxBytes) {
                fail(QStringLiteral("KWin 交出的屏幕图像过大。"));
                return false;
            }
            if (n > 0) {
                output.data.append(buffer, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            output.ended = !(n < 0 && errno == EAGAIN);
            finishIfComplete();
            return !output.ended;
        }
    }

    static qsizetype bytesOf(const QVariantMap& layout)
    {
        return qsizetype(layout.value(QStringLiteral("stride")).toUInt()) *
               layout.value(QStringLiteral("height")).toUInt();
    }

    void deliver(StillsResult result)
    {
        if (!m_done)
            return;
        const std::function<void(StillsResult)> done = std::move(m_done);
        m_done = nullptr;
        m_timeout.stop();
        deleteLater();
        done(std::move(result));
    }

    std::function<void(StillsResult)> m_done;
    std::vector<std::unique_ptr<Output>> m_outputs;
    QTimer m_timeout;
};

KWinStills::KWinStills(DisplayID displayID, QObject* parent)
    : QObject(parent), m_displayID(std::move(displayID))
{
}

bool KWinStills::available() const
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface()->isServiceRegistered(kService).value();
}

void KWinStills::grab(std::function<void(StillsResult)> done)
{
    auto* capture = new KWinCapture(this, std::move(done));
    bool asked = QDBusConnection::sessionBus().connectionCapabilities() &
                 QDBusConnection::UnixFileDescriptorPassing;
    for (QScreen* screen : QGuiApplication::screens()) {
        if (const std::optional<quint32> id = m_displayID(screen); id && asked)
            asked = capture->capture(screen, *id);
    }
    // Never before grab returns.
    QTimer::singleShot(0, capture, [capture, asked] {
        if (asked)
            capture->finishIfComplete();
        else
            capture->fail(QStringLiteral("无法向 KWin 请求屏幕图像。"));
    });
}
