#include "screenshot/portalstills.h"

#include "screenshot/desktopstill.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>
#include <QRandomGenerator>
#include <QStandardPaths>
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

QString unreadableText()
{
    return QStringLiteral("截图服务返回的文件无法读取。");
}

// Where this desktop lets the user allow screenshots.
QString permissionHint()
{
    const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP").toLower();
    // GNOME's settings have no switch for a program outside a sandbox; its dialog asks again.
    if (desktop.contains("gnome"))
        return QStringLiteral("桌面拒绝了截图请求。请重新截图，并在桌面询问时选择“允许”。");
    // Plasma 5.27's portal asks no permission of a program outside a sandbox; it refuses when
    // it cannot save its picture.
    if (desktop.contains("kde"))
        return QStringLiteral("桌面的截图服务没能把截图存入图片文件夹。请确认“系统设置 → 应用程序"
                              " → 位置”中的图片路径是一个存在且可写的文件夹，然后重新截图。");
    return QStringLiteral("桌面拒绝了截图请求。请在桌面门户的权限存储中允许本应用截取屏幕"
                          "（screenshot 权限），然后重新截图。");
}

// A 'no' the desktop keeps for good (GNOME: the dialog's Deny), after which its portal ends
// every request at once (response 2) without asking. Removed at the next request, the desktop
// asks again.
const QString kPermissionStore = QStringLiteral("org.freedesktop.impl.portal.PermissionStore");
const QString kPermissionPath = QStringLiteral("/org/freedesktop/impl/portal/PermissionStore");
// A program outside a sandbox has no application id.
const QString kNoAppID;

QString storedDenialText()
{
    return QStringLiteral("桌面记住了不允许本应用截取屏幕（例如在它询问时选择了拒绝），"
                          "因此没有再询问。再次截图时，桌面会重新询问，请选择“允许”。");
}

// Where the portals of GNOME, KDE and wlroots put their pictures.
QStringList portalFolders()
{
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    return {QDir::tempPath(), QStringLiteral("/tmp"), QDir::homePath(), pictures,
            QDir(pictures).filePath(QStringLiteral("Screenshots"))};
}

} // namespace

// One non-interactive Screenshot call to the portal, from the call to its Response signal on
// the Request object, or until the portal leaves the bus or stays silent too long. Delivers
// once, then deletes itself.
class PortalScreenshot : public QObject
{
    Q_OBJECT

public:
    PortalScreenshot(PortalStills& owner, std::function<void(StillsResult)> done)
        : QObject(&owner), m_owner(owner), m_done(std::move(done))
    {
    }

    void start()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            // Never before grab returns.
            QTimer::singleShot(0, this, [this] { fail(noServiceText()); });
            return;
        }
        if (!m_owner.m_storedDenial) {
            request();
            return;
        }
        // The user asks again after being told of the stored 'no': the desktop's dialog asks.
        m_owner.m_storedDenial = false;
        auto* removed = new QDBusPendingCallWatcher(
            bus.asyncCall(QDBusMessage::createMethodCall(kPermissionStore, kPermissionPath,
                                                         kPermissionStore, "DeletePermission")
                          << QStringLiteral("screenshot") << QStringLiteral("screenshot")
                          << kNoAppID),
            this);
        connect(removed, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* watcher) {
                    watcher->deleteLater();
                    request();
                });
    }

private:
    void request()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        m_before = listFolders(portalFolders());
        // A portal that hangs, or restarts mid-request, would otherwise hold every later
        // screenshot back for good.
        m_timeout.setSingleShot(true);
        connect(&m_timeout, &QTimer::timeout, this, [this] {
            fail(QStringLiteral("截图服务在 %1 秒内没有应答。").arg(m_timeout.interval() / 1000.0));
        });
        m_timeout.start(m_owner.m_answerTimeout);
        auto* watcher = new QDBusServiceWatcher(kPortalService, bus,
                                                QDBusServiceWatcher::WatchForOwnerChange, this);
        // Starting the portal for this call gives it its first owner, which is no reason to fail.
        connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString&, const QString& oldOwner, const QString&) {
                    if (!oldOwner.isEmpty())
                        fail(QStringLiteral("截图服务在应答之前退出了。"));
                });

        const QString token =
            QStringLiteral("vellori%1").arg(QRandomGenerator::global()->generate64(), 0, 16);
        // Listen before calling, so an early answer is not lost.
        const QString sender = bus.baseService().mid(1).replace('.', '_');
        listen(QDBusObjectPath(kPortalPath + "/request/" + sender + "/" + token));

        QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath,
                                                           kScreenshotInterface, "Screenshot");
        call << QString() << QVariantMap{{"handle_token", token}, {"interactive", false}};
        auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this, &PortalScreenshot::called);
    }

private slots:
    void response(uint code, const QVariantMap& results)
    {
        // 1: the user or the permission said no. 2: ended otherwise, e.g. the backend failed or
        // could not write its file; there is no permission to grant then.
        if (code == 1) {
            deliver({StillsResult::Status::Refused, {}, permissionHint()});
            return;
        }
        if (code == 2) {
            checkStoredDenial();
            return;
        }
        const QUrl uri(results.value("uri").toString());
        if (code != 0 || !uri.isLocalFile()) {
            fail(QStringLiteral("截图服务没有返回图像。"));
            return;
        }
        const QString path = uri.toLocalFile();
        StillsResult result = m_owner.stillsFrom(path);
        // The picture is only ours to take; the file goes when the portal made it for us.
        if (isNewPortalFile(path, m_before))
            QFile::remove(path);
        deliver(std::move(result));
    }

private:
    // Response 2 is also any failure of the backend: a refusal only with our 'no' stored.
    void checkStoredDenial()
    {
        auto* lookup = new QDBusPendingCallWatcher(
            QDBusConnection::sessionBus().asyncCall(
                QDBusMessage::createMethodCall(kPermissionStore, kPermissionPath, kPermissionStore,
                                               "Lookup")
                << QStringLiteral("screenshot") << QStringLiteral("screenshot")),
            this);
        connect(lookup, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* watcher) {
                    watcher->deleteLater();
                    const QDBusMessage reply = watcher->reply();
                    const auto permissions =
                        qdbus_cast<QMap<QString, QStringList>>(reply.arguments().value(0));
                    if (reply.type() == QDBusMessage::ReplyMessage &&
                        permissions.value(kNoAppID).contains(QStringLiteral("no"))) {
                        m_owner.m_storedDenial = true;
                        deliver({StillsResult::Status::Refused, {}, storedDenialText()});
                        return;
                    }
                    fail(QStringLiteral(
                        "桌面的截图服务没能完成截图，例如它的截图程序出错或没有安装。"));
                });
    }

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

    void fail(const QString& why) { deliver({StillsResult::Status::Failed, {}, why}); }

    void deliver(StillsResult result)
    {
        if (!m_done)
            return;
        const std::function<void(StillsResult)> done = std::move(m_done);
        m_done = nullptr;
        m_timeout.stop();
        QDBusConnection::sessionBus().disconnect(kPortalService, m_request.path(),
                                                 kRequestInterface, "Response", this,
                                                 SLOT(response(uint, QVariantMap)));
        deleteLater();
        m_owner.m_current = nullptr;
        const QPointer<PortalStills> owner(&m_owner);
        done(std::move(result));
        if (owner)
            owner->next();
    }

    PortalStills& m_owner;
    std::function<void(StillsResult)> m_done;
    QDBusObjectPath m_request;
    FolderListing m_before;
    QTimer m_timeout;
};

PortalStills::PortalStills(DisplayID displayID, std::function<QSize(const QScreen*)> nativeSize,
                           QObject* parent)
    : QObject(parent), m_displayID(std::move(displayID)), m_nativeSize(std::move(nativeSize))
{
}

PortalStills::~PortalStills() = default;

void PortalStills::grab(std::function<void(StillsResult)> done)
{
    m_waiting.push_back(std::move(done));
    next();
}

void PortalStills::next()
{
    if (m_current || m_waiting.empty())
        return;
    m_current = new PortalScreenshot(*this, std::move(m_waiting.front()));
    m_waiting.pop_front();
    m_current->start();
}

StillsResult PortalStills::stillsFrom(const QString& path) const
{
    // A file another user left under a portal's fixed name is never taken for ours.
    if (QFileInfo(path).ownerId() != ::getuid())
        return {StillsResult::Status::Failed, {}, unreadableText()};
    std::vector<QScreen*> screens;
    std::vector<OutputPlacement> outputs;
    for (QScreen* screen : QGuiApplication::screens()) {
        screens.push_back(screen);
        outputs.push_back({screen->geometry(), screen->devicePixelRatio(), m_nativeSize(screen)});
    }
    const QImage desktop = readDesktopImage(path, outputs);
    if (desktop.isNull())
        return {StillsResult::Status::Failed, {}, unreadableText()};
    const std::vector<StillSource> sources = stillSources(outputs, desktop.size());
    if (sources.empty())
        return {StillsResult::Status::Failed, {}, QStringLiteral("截图的尺寸与显示器的排列不符。")};
    StillsResult result{StillsResult::Status::Taken, {}, {}};
    for (std::size_t i = 0; i < screens.size(); ++i) {
        const std::optional<quint32> id = m_displayID(screens[i]);
        if (!id)
            continue;
        QImage still = desktop.copy(sources[i].source);
        if (still.size() != sources[i].native)
            still =
                still.scaled(sources[i].native, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        still = still.convertToFormat(QImage::Format_RGB32);
        // The density the pixels really have, which Qt's rounded ratio may not be.
        still.setDevicePixelRatio(sources[i].ratio);
        result.stills.push_back({screens[i], *id, std::move(still)});
    }
    return result;
}

#include "portalstills.moc"
