#include "screenshot/capturerfactory.h"
#include "screenshot/desktopstill.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QScreen>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

namespace
{

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

QString noServiceText()
{
    return QStringLiteral("此桌面环境没有提供截图服务。");
}

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

} // namespace

class WaylandScreenCapturer : public QObject, public ScreenCapturer
{
    Q_OBJECT

public:
    std::optional<quint32> displayID(const QScreen* screen) const override
    {
        if (!screen || screen->name().isEmpty())
            return std::nullopt;
        return nameHash(screen->name());
    }

    // sway and others draw black behind a translucent fullscreen window.
    bool compositing() const override { return false; }

    // Wayland lets a client read the screen only through the portal, as a whole desktop.
    CaptureResult capture(const QScreen*, const QRectF&) override
    {
        return {{}, QStringLiteral("Wayland 桌面只能通过截图服务整屏截取。")};
    }

    void grabStills(std::function<void(StillsResult)> done) override;
};

namespace
{

// One non-interactive Screenshot call to the portal, from the call to its Response signal on
// the Request object. Delivers once, then deletes itself.
class PortalScreenshot : public QObject
{
    Q_OBJECT

public:
    PortalScreenshot(WaylandScreenCapturer& capturer, std::function<void(StillsResult)> done)
        : QObject(&capturer), m_capturer(capturer), m_done(std::move(done))
    {
    }

    void start()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            // Never before grabStills returns.
            QTimer::singleShot(0, this, [this] { fail(noServiceText()); });
            return;
        }
        const QString token =
            QStringLiteral("vellori%1").arg(QRandomGenerator::global()->generate64(), 0, 16);
        // Listen before calling, so an early answer is not lost.
        const QString sender = bus.baseService().mid(1).replace('.', '_');
        listen(QDBusObjectPath(kPortalPath + "/request/" + sender + "/" + token));

        QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath,
                                                           kScreenshotInterface, "Screenshot");
        call << QString() << QVariantMap{{"handle_token", token}, {"interactive", false}};
        auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, &PortalScreenshot::called);
    }

private slots:
    void response(uint code, const QVariantMap& results)
    {
        // 1: the user or the permission said no; 2: the desktop gave up, e.g. when it cannot
        // write its file. Neither leaves a picture to use.
        if (code == 1 || code == 2) {
            deliver({StillsResult::Status::Refused, {}, {}});
            return;
        }
        if (code != 0) {
            fail(QStringLiteral("截图服务没有返回图像。"));
            return;
        }
        deliver(stillsFrom(QUrl(results.value("uri").toString())));
    }

private:
    void called(QDBusPendingCallWatcher* watcher)
    {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (reply.isError()) {
            switch (reply.error().type()) {
            case QDBusError::ServiceUnknown:
            case QDBusError::UnknownObject:
            case QDBusError::UnknownInterface:
            case QDBusError::UnknownMethod:
                fail(noServiceText());
                break;
            default:
                fail(QStringLiteral("无法调用桌面的截图服务。"));
            }
            return;
        }
        // Older portals choose the Request path themselves.
        if (reply.value() != m_request)
            listen(reply.value());
    }

    void listen(const QDBusObjectPath& request)
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!m_request.path().isEmpty())
            bus.disconnect(kPortalService, m_request.path(), kRequestInterface, "Response", this,
                           SLOT(response(uint, QVariantMap)));
        m_request = request;
        bus.connect(kPortalService, m_request.path(), kRequestInterface, "Response", this,
                    SLOT(response(uint, QVariantMap)));
    }

    StillsResult stillsFrom(const QUrl& uri) const
    {
        const QString path = uri.toLocalFile();
        const QFileInfo file(path);
        // A file another user left under the portal's fixed name is never taken for ours.
        if (!uri.isLocalFile() || !file.exists() || file.ownerId() != ::getuid())
            return {
                StillsResult::Status::Failed, {}, QStringLiteral("截图服务返回的文件无法读取。")};
        const QImage desktop(path);
        // The portal's scratch copy goes at once; a copy it saved among the user's files stays.
        if (isScratchFile(path, {QDir::tempPath(), QStringLiteral("/tmp")}))
            QFile::remove(path);
        if (desktop.isNull())
            return {
                StillsResult::Status::Failed, {}, QStringLiteral("截图服务返回的文件无法读取。")};

        std::vector<QScreen*> screens;
        std::vector<OutputPlacement> outputs;
        for (QScreen* screen : QGuiApplication::screens()) {
            screens.push_back(screen);
            outputs.push_back({screen->geometry(), screen->devicePixelRatio()});
        }
        const std::vector<StillSource> sources = stillSources(outputs, desktop.size());
        if (sources.empty())
            return {
                StillsResult::Status::Failed, {}, QStringLiteral("截图的尺寸与显示器的排列不符。")};
        StillsResult result{StillsResult::Status::Taken, {}, {}};
        for (std::size_t i = 0; i < screens.size(); ++i) {
            const std::optional<quint32> id = m_capturer.displayID(screens[i]);
            if (!id)
                continue;
            QImage still = desktop.copy(sources[i].source);
            if (still.size() != sources[i].native)
                still = still.scaled(sources[i].native, Qt::IgnoreAspectRatio,
                                     Qt::SmoothTransformation);
            still = still.convertToFormat(QImage::Format_RGB32);
            still.setDevicePixelRatio(screens[i]->devicePixelRatio());
            result.stills.push_back({screens[i], *id, std::move(still)});
        }
        return result;
    }

    void fail(const QString& why) { deliver({StillsResult::Status::Failed, {}, why}); }

    void deliver(StillsResult result)
    {
        if (!m_done)
            return;
        const std::function<void(StillsResult)> done = std::move(m_done);
        m_done = nullptr;
        QDBusConnection::sessionBus().disconnect(kPortalService, m_request.path(),
                                                 kRequestInterface, "Response", this,
                                                 SLOT(response(uint, QVariantMap)));
        deleteLater();
        done(std::move(result));
    }

    WaylandScreenCapturer& m_capturer;
    std::function<void(StillsResult)> m_done;
    QDBusObjectPath m_request;
};

} // namespace

void WaylandScreenCapturer::grabStills(std::function<void(StillsResult)> done)
{
    (new PortalScreenshot(*this, std::move(done)))->start();
}

std::unique_ptr<ScreenCapturer> createWaylandScreenCapturer()
{
    if (QGuiApplication::platformName() != QLatin1String("wayland"))
        return nullptr;
    return std::make_unique<WaylandScreenCapturer>();
}

#include "screencapturer_wayland.moc"
