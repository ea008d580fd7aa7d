// The program as the user meets it, through the delegate on a fake desktop: tray menu, control
// window, status messages, the pen overlay, the screenshot flow, and hot keys through a fake
// GlobalShortcuts portal on a private bus.

#include "app/appdelegate.h"
#include "app/applicationsetup.h"
#include "app/controlwindow.h"
#include "app/icons.h"
#include "hotkeys/nullhotkeybackend.h"
#include "hotkeys/portalhotkeybackend.h"
#include "overlay/drawingview.h"
#include "overlay/overlaycontentview.h"
#include "overlay/overlaymanager.h"
#include "overlay/overlaywindow.h"
#include "screenshot/capturegeometry.h"
#include "screenshot/pngencoder.h"
#include "screenshot/portalstills.h"
#include "screenshot/screenshotpaths.h"
#include "screenshot/selectionmanager.h"
#include "screenshot/selectionview.h"
#include "screenshot/selectionwindow.h"
#include "settings/settingswindowcontroller.h"
#include "testsupport.h"

#include <QColorDialog>
#include <QComboBox>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QUrl>

namespace
{

// Alerts as "alert:<message>|<details>", the sound as "sound".
struct Recorder : Alerts, CaptureSound {
    explicit Recorder(QStringList& log) : log(log) {}
    void showModal(const Alert& a) override
    {
        log << "alert:" + a.messageText + "|" + a.informativeText;
    }
    void showSheet(QWidget*, const Alert& a) override { log << "sheet:" + a.messageText; }
    void play() override { log << "sound"; }
    QStringList& log;
};

// Identifiers 101, 102 … per screen, and a plain still for each.
// Like a real desktop they come later, from the event loop, or the status says why not.
struct Capturer : ScreenCapturer {
    bool live = true, identifiers = true;
    StillsResult::Status status = StillsResult::Status::Taken;
    QString error; // given with a status other than Taken
    int grabs = 0;
    std::optional<quint32> displayID(const QScreen* screen) const override
    {
        const qsizetype i = QGuiApplication::screens().indexOf(screen);
        return identifiers && i >= 0 ? std::optional<quint32>(101 + i) : std::nullopt;
    }
    bool compositing() const override { return live; }
    void grabStills(std::function<void(StillsResult)> done, const QRegion&) override
    {
        ++grabs;
        StillsResult result{status, {}, error};
        for (QScreen* screen : QGuiApplication::screens()) {
            const std::optional<quint32> id = displayID(screen);
            if (!id || status != StillsResult::Status::Taken)
                continue;
            QImage image(nativeSize(screen->size(), screen->devicePixelRatio()),
                         QImage::Format_RGB32);
            image.fill(Qt::darkCyan);
            image.setDevicePixelRatio(screen->devicePixelRatio());
            result.stills.push_back({screen, *id, image});
        }
        QTimer::singleShot(0, qApp, [done = std::move(done), result] { done(result); });
    }
};

// Offscreen, the real backend would refuse every key.
struct HotKeys : HotKeyBackend {
    bool registerHotKey(EventHotKeyID, quint32) override { return true; }
    void unregisterHotKey(EventHotKeyID) override {}
};

// A GlobalShortcuts portal as its documentation describes it, or as Plasma 5.27 behind portal
// frontend 1.16 answers. Calls with other argument types than documented are refused, so the
// backend only passes by speaking the documented interface. Its keys outlive the sessions.
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
    bool plasma527 = false; // binds CreateSession's shortcuts; BindShortcuts opens System Settings
    QMap<QString, QString> assign; // triggers given instead of the preferred ones, by id
    // "CreateSession", "BindShortcuts id description trigger; …", "ListShortcuts", "Close",
    // "refused <method>".
    QStringList log;

    // "closed" ends the session, "portal gone" takes the portal away, "back" brings it back at
    // once.
    void end(const QString& how)
    {
        if (how == "closed")
            m_bus.send(QDBusMessage::createTargetedSignal(
                           m_client, m_session, "org.freedesktop.portal.Session", "Closed")
                       << QVariantMap());
        else if (m_bus.unregisterService("org.freedesktop.portal.Desktop") && how == "back")
            m_bus.registerService("org.freedesktop.portal.Desktop");
    }
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
        log << member;
        if (member == "Close")
            return m_bus.send(message.createReply());
        const QMap<QString, QString> signatures{{"CreateSession", "a{sv}"},
                                                {"BindShortcuts", "oa(sa{sv})sa{sv}"},
                                                {"ListShortcuts", "oa{sv}"}};
        if (message.interface() != "org.freedesktop.portal.GlobalShortcuts" ||
            signatures.value(member, "-") != message.signature() ||
            (member != "CreateSession" && args[0].value<QDBusObjectPath>().path() != m_session)) {
            log.last() = "refused " + member;
            return m_bus.send(message.createErrorReply(QDBusError::InvalidArgs, member));
        }
        QVariantMap results;
        uint code = 0;
        if (member == "CreateSession") {
            results["session_handle"] = m_session =
                handle("session", args[0], "session_handle_token");
            code = sessionAnswer;
        } else if (member == "BindShortcuts") {
            QStringList asked;
            for (const PortalShortcut& s : qdbus_cast<QList<PortalShortcut>>(args[1]))
                asked << s.id + ' ' + s.properties["description"].toString() + ' ' +
                             s.properties["preferred_trigger"].toString();
            log.last() += ' ' + asked.join("; ");
            code = bindAnswer;
        }
        // Plasma 5.27 binds what CreateSession gives, later portals what BindShortcuts gives.
        if (member == (plasma527 ? "CreateSession" : "BindShortcuts"))
            m_bound = qdbus_cast<QList<PortalShortcut>>(
                plasma527 ? qdbus_cast<QVariantMap>(args[0])["shortcuts"] : args[1]);
        if (member == "ListShortcuts" || (member == "BindShortcuts" && !listOnlyOnRequest))
            results["shortcuts"] = QVariant::fromValue(bound());
        // The request handle comes first, the Response after it, to the caller only.
        const QString request = handle("request", args.last(), "handle_token");
        m_bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        return m_bus.send(QDBusMessage::createTargetedSignal(
                              m_client, request, "org.freedesktop.portal.Request", "Response")
                          << code << results);
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

// A screenshot portal that writes every picture to one fixed file, as the wlroots one does, in a
// colour of its own per request, and answers as told: with a response code, not at all
// ("silent"), or by leaving the bus ("gone").
class ScreenshotPortal : public QDBusVirtualObject
{
public:
    ScreenshotPortal(const QString& address, const QString& file)
        : m_bus(QDBusConnection::connectToBus(address, "shots")), m_file(file)
    {
        m_bus.registerVirtualObject(kPath, this, QDBusConnection::SubPath);
        m_bus.registerService("org.freedesktop.portal.Desktop");
    }
    ~ScreenshotPortal() override
    {
        m_bus.unregisterObject(kPath, QDBusConnection::UnregisterTree);
        QDBusConnection::disconnectFromBus("shots");
    }

    QString answer;
    const QList<QRgb> colours{qRgb(200, 0, 0), qRgb(0, 0, 200)};

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        const QString request = QStringLiteral("%1/request/%2/%3")
                                    .arg(kPath, message.service().mid(1).replace('.', '_'),
                                         qdbus_cast<QVariantMap>(message.arguments().value(1))
                                             .value("handle_token")
                                             .toString());
        m_bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        // The whole offscreen desktop at scale 2.
        QImage picture(6400, 2160, QImage::Format_RGB32);
        picture.fill(colours.value(m_calls++));
        QFile file(m_file);
        if (!file.open(QIODevice::WriteOnly) || file.write(encodePng(picture)) <= 0)
            return false;
        if (answer == "gone")
            m_bus.unregisterService("org.freedesktop.portal.Desktop");
        else if (answer != "silent")
            QTimer::singleShot(50, [this, client = message.service(), request] {
                m_bus.send(QDBusMessage::createTargetedSignal(
                               client, request, "org.freedesktop.portal.Request", "Response")
                           << answer.toUInt()
                           << QVariantMap{{"uri", QUrl::fromLocalFile(m_file).toString()}});
            });
        return true;
    }

private:
    static constexpr const char* kPath = "/org/freedesktop/portal/desktop";
    QDBusConnection m_bus;
    QString m_file;
    int m_calls = 0;
};

template <typename T> T* startingWith(const QList<T*>& items, const QString& prefix)
{
    for (T* item : items)
        if (item->text().startsWith(prefix))
            return item;
    qFatal("nothing starts with %s", qPrintable(prefix));
}

// Top-level windows of the type left after deferred deletes.
template <typename T> int windowsAlive()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const QWidgetList all = QApplication::topLevelWidgets();
    return int(
        std::count_if(all.begin(), all.end(), [](QWidget* w) { return qobject_cast<T*>(w); }));
}

// The titles of the toolbar buttons that its pixels show ringed in dark, left of the button.
QString marked(QWidget* toolbar)
{
    const QImage image = toolbar->grab().toImage();
    QStringList titles;
    for (const QPushButton* b : toolbar->findChildren<QPushButton*>()) {
        const QPoint ring(b->geometry().left() - 2, b->geometry().center().y());
        if (qGray(image.pixel(ring * image.devicePixelRatio())) < 128)
            titles << b->text();
    }
    return titles.join('|');
}

} // namespace

class TestAppShell : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    TestSupport::PrivateBus m_bus;
    std::unique_ptr<Portal> m_portal;
    // The fake desktop: what the user would see or hear, in order (Recorder's entries,
    // "open:<folder>", "status:<message>"), and what it answers.
    QStringList m_log;
    bool m_opensFolders = true;
    QDateTime m_now;
    Capturer* m_capturer = nullptr;
    std::unique_ptr<AppDelegate> m_app;
    const QString m_name = "截图_2025-03-04_09-05-07.png";

    QString dayFolder() const { return ScreenshotPaths::screenshotRoot() + "/2025-03-04"; }
    QStringList saved() const { return QDir(dayFolder()).entryList(QDir::Files | QDir::Hidden); }
    QWidget* toolbar()
    {
        return m_app->overlayManager().windows().front()->contentView()->toolbar();
    }
    // The status as the control window, the tray's tooltip and the tray's icon show it.
    QString status() const
    {
        const auto image = [](const QIcon& icon) { return icon.pixmap(32, 32).toImage(); };
        const QImage shown = image(m_app->trayIcon()->icon());
        return QStringList{m_app->controlWindow()->statusLabel()->text(),
                           m_app->trayIcon()->toolTip(),
                           shown == image(Icons::checkMark()) ? "✓"
                           : shown == image(Icons::pen())     ? "pen"
                                                              : "?"}
            .join('|');
    }

    // What a user can do, by name, so test rows can list it. The pen opens once its stills have
    // come, or failed to.
    void perform(const QString& action)
    {
        OverlayManager& overlay = m_app->overlayManager();
        const QString target = action.section(' ', 1);
        if (action == "toggle") {
            m_app->toggleMarker();
        } else if (action == "right click left") {
            QTest::mouseClick(overlay.drawingViews().at(0), Qt::RightButton, {}, QPoint(500, 500));
        } else if (action.startsWith("menu ")) {
            startingWith(m_app->trayMenu()->actions(), target)->trigger();
        } else {
            QWidget* panel = action.startsWith("toolbar ") ? toolbar() : m_app->controlWindow();
            QTest::mouseClick(startingWith(panel->findChildren<QPushButton*>(), target),
                              Qt::LeftButton);
        }
        QVERIFY(QTest::qWaitFor([&] { return !overlay.isOpening(); }));
    }

    // Launched anew on a fresh fake desktop, with the given hot-key backend or the fake's.
    void launch(std::unique_ptr<HotKeyBackend> hotKeys = {})
    {
        m_app.reset();
        m_log.clear();
        m_opensFolders = true;
        m_now = QDateTime(QDate(2025, 3, 4), QTime(9, 5, 7));
        auto capturer = std::make_unique<Capturer>();
        m_capturer = capturer.get();
        m_app = std::make_unique<AppDelegate>(
            Platform{.alerts = std::make_unique<Recorder>(m_log),
                     .capturer = std::move(capturer),
                     .sound = std::make_unique<Recorder>(m_log),
                     .hotKeys = hotKeys ? std::move(hotKeys) : std::make_unique<HotKeys>(),
                     .openFolder =
                         [this](const QString& folder) {
                             m_log << "open:" + folder;
                             return m_opensFolders;
                         },
                     .clock = [this] { return m_now; }});
        m_app->applicationDidFinishLaunching();
    }
    QString shortcutBox() const { return m_app->controlWindow()->shortcutLabel()->text(); }

    // Starts a request and waits for the selection's views; empty when it ended at once.
    QList<QWidget*> openSelection()
    {
        m_app->captureScreenshot();
        const auto manager = [this] { return m_app->selectionManager(); };
        QTest::qWaitFor([&] { return !manager() || !manager()->windows().empty(); });
        QList<QWidget*> views;
        for (SelectionWindow* w :
             manager() ? manager()->windows() : std::vector<SelectionWindow*>())
            views << w->view();
        return views;
    }

private slots:
    void initTestCase()
    {
        qputenv("HOME", m_home.path().toUtf8());
        qunsetenv("XDG_CONFIG_HOME");
        QVERIFY(TestSupport::isolateSettings());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address.toUtf8());
    }

    void init()
    {
        TestSupport::clearSettings();
        QFile::remove(ScreenshotPaths::screenshotRoot());
        QDir(ScreenshotPaths::screenshotRoot()).removeRecursively();
        launch();
        m_app->statusLine().onMessage =
            [this, old = m_app->statusLine().onMessage](const QString& message) {
                old(message);
                m_log << "status:" + message;
            };
    }

    // Destroyed with whatever is still open.
    void cleanup()
    {
        m_app.reset();
        m_portal.reset();
        QCOMPARE(windowsAlive<OverlayWindow>(), 0);
        QCOMPARE(windowsAlive<SelectionWindow>(), 0);
    }

    // Every way in and out of the pen, and what the user then sees.
    void penActions_data()
    {
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QString>("outcome");
        const QString button = QStringLiteral("button 打开 / 退出红笔");
        const QString menu = QStringLiteral("menu 开关全屏画笔");
        QTest::newRow("button, menu") << QStringList{button, menu} << "exited";
        QTest::newRow("right click") << QStringList{"toggle", "right click left"} << "exited";
        // Settings close the pen without saying so.
        QTest::newRow("toolbar settings") << QStringList{"toggle", "toolbar 设置"} << "settings";
        QTest::newRow("settings button") << QStringList{menu, "button 修改画笔"} << "settings";
        QTest::newRow("settings menu")
            << QStringList{button, "menu 快捷键与画笔设置"} << "settings";
        // Stills the pen would open on fail: no black pen, an alert with the reason.
        QTest::newRow("stills failed") << QStringList{"toggle"} << "alert:无法打开画笔|读不出";
        QTest::newRow("stills refused")
            << QStringList{"toggle"} << "alert:需要重新确认屏幕录制权限|请在桌面设置中允许截图。";
    }

    void penActions()
    {
        QFETCH(QStringList, actions);
        QFETCH(QString, outcome);
        const bool alert = outcome.startsWith("alert:");
        m_capturer->live = !alert;
        m_capturer->status =
            outcome.contains("需要") ? StillsResult::Status::Refused : StillsResult::Status::Failed;
        m_capturer->error = outcome.section('|', 1);
        const QString message = alert                 ? "无法打开画笔"
                                : outcome == "exited" ? "已退出画笔"
                                                      : "画笔已开启";
        for (const QString& action : actions)
            perform(action);
        QCOMPARE(windowsAlive<OverlayWindow>(), 0);
        QCOMPARE(m_app->settingsController() && m_app->settingsController()->window()->isVisible(),
                 outcome == "settings");
        QCOMPARE(status(), message + '|' + message + "|✓");
        QCOMPARE(m_log.filter("alert:"), alert ? QStringList{outcome} : QStringList());
    }

    // Without blending the pen waits for its stills; toggled off before they come, it never
    // opens. A letter on either display acts on every canvas and the toolbar marks the tool;
    // every opening starts afresh with pen 0 in the stored colour and width. The messages' reset
    // then brings back the idle status.
    void canvasCommandsAndFreshOpenings()
    {
        // A newer message keeps its own time, however little the one before had left.
        m_app->statusLine().show("a", 2);
        m_app->statusLine().show("b", 10);
        QCOMPARE_GT(m_app->statusLine().resetTimer().remainingTime(), 2000);
        m_app->statusLine().setMillisecondsPerSecond(1);
        m_app->settings().setColor(QColor(10, 120, 200), SettingsKeys::redColor);
        m_app->settings().setDouble(7.5, SettingsKeys::lineWidth);
        m_capturer->live = false;
        for (int i = 0; i < 3; ++i)
            m_app->toggleMarker();
        QVERIFY(!m_app->overlayManager().isShowing());
        QTRY_COMPARE(windowsAlive<OverlayWindow>(), 2);
        const auto canvases = [&] {
            QStringList states; // "colour width tool strokes" per canvas
            for (const DrawingView* v : m_app->overlayManager().drawingViews())
                states << QString("%1 %2 %3 %4")
                              .arg(v->currentColor().name(), QString::number(v->currentWidth()),
                                   v->mode() == DrawingMode::pen ? "pen" : "eraser",
                                   QString::number(v->strokes().size()));
            return states.join('|') + '|' + marked(toolbar());
        };
        const std::vector<DrawingView*> views = m_app->overlayManager().drawingViews();
        TestSupport::drawStroke(views.at(0), {QPointF(30, 30), QPointF(80, 60)});
        for (const auto& [key, view] : {std::pair{'w', 0}, {'z', 1}, {'c', 1}})
            QTest::keyClick(views.at(view), key);
        QCOMPARE(canvases(), QString("#007aff 7.5 eraser 0|#007aff 7.5 eraser 0|橡皮 Z"));
        TestSupport::drawStroke(views[0], {QPointF(30, 30), QPointF(80, 60)});
        m_app->toggleMarker();
        perform("toggle");
        QCOMPARE(canvases(), QString("#0a78c8 7.5 pen 0|#0a78c8 7.5 pen 0|● Q"));
        QTRY_COMPARE(status(), QString("准备就绪|Vellori截图与红笔|pen"));
    }

    // Re-opening brings back a minimised control window; stored keys are shown as stored, even
    // where no such key exists; the folder that the desktop cannot show is named. Qt's own colour
    // picker speaks Chinese; an alert has room for its title and its reason.
    void controlWindow()
    {
        ControlWindow* window = m_app->controlWindow();
        window->showMinimized();
        m_app->applicationShouldHandleReopen();
        QVERIFY(window->isVisible() && !window->isMinimized());
        m_app->settings().setInteger(0, SettingsKeys::screenshotFunctionKey);
        m_app->settings().setInteger(13, SettingsKeys::markerFunctionKey);
        m_app->applyHotKeys();
        QStringList texts{shortcutBox()};
        for (const QAction* a : m_app->trayMenu()->actions())
            texts << (a->isSeparator() ? "—" : a->text());
        QCOMPARE(texts.join('|'), "框选截图：F0     开关画笔：F13|框选截图    F0|"
                                  "开关全屏画笔    F13|快捷键与画笔设置|打开截图文件夹|—|退出");
        m_opensFolders = false;
        m_app->openScreenshotFolder();
        const QString root = ScreenshotPaths::screenshotRoot();
        QVERIFY(QFileInfo(root).isDir());
        QCOMPARE(m_log.mid(m_log.size() - 2),
                 (QStringList{"open:" + root, "status:无法打开截图文件夹：" + root}));
        setUpApplication();
        QCOMPARE(QColorDialog().windowTitle(), QString("选择颜色"));
        MessageBoxAlerts().showSheet(window,
                                     {"设置无法保存", "无法写入设置文件“/home/用户/.config/"
                                                      "Vellori/vellori.conf”，磁盘可能已满。"});
        auto* box = window->findChild<QMessageBox*>();
        QVERIFY(box && QTest::qWaitForWindowExposed(box));
        QCOMPARE_GE(box->width(), 420);
    }

    // Saved, cancelled, refused or failed: the messages say so, and nothing is left behind. The
    // name is chosen at the request.
    void screenshotOutcomes_data()
    {
        QTest::addColumn<QString>("last"); // the log's last entries by line, the final one as begun
        QTest::newRow("saved") << "status:已保存 " + m_name + "\nsound";
        QTest::newRow("right click") << "status:请拖拽选择截图区域\nstatus:已取消截图";
        QTest::newRow("no display identifiers") << "alert:截图失败|没有得到可用的屏幕图像。";
        QTest::newRow("refused") << "alert:需要重新确认屏幕录制权限|请在桌面设置中允许截图。";
        QTest::newRow("stills failed") << "alert:截图失败|无法读取屏幕内容。";
        QTest::newRow("no day folder") << "alert:截图失败|无法创建文件夹";
        QTest::newRow("folder gone") << "alert:截图失败|无法写入“" + m_name + "”";
    }

    void screenshotOutcomes()
    {
        QFETCH(QString, last);
        const QString how = QTest::currentDataTag();
        using Status = StillsResult::Status;
        m_capturer->status = how == "refused"         ? Status::Refused
                             : how == "stills failed" ? Status::Failed
                                                      : Status::Taken;
        m_capturer->error = how == "no display identifiers" ? QString() : last.section('|', 1);
        m_capturer->identifiers = how != "no display identifiers";
        QFile blocker(ScreenshotPaths::screenshotRoot()); // a file where the folder should be
        QVERIFY(how != "no day folder" ||
                (QDir().mkpath(m_home.filePath("Desktop")) && blocker.open(QIODevice::WriteOnly)));
        const QList<QWidget*> views = openSelection();
        QVERIFY(views.isEmpty() || QGuiApplication::overrideCursor()->shape() == Qt::CrossCursor);
        m_now = m_now.addSecs(5);
        if (how == "right click")
            QTest::mouseClick(views.value(1), Qt::RightButton);
        if (how == "folder gone")
            QVERIFY(QDir(dayFolder()).removeRecursively());
        if (how == "saved" || how == "folder gone")
            TestSupport::drawStroke(views.value(0), {QPoint(10, 10), QPoint(60, 60)});
        QTRY_VERIFY(!m_app->isTakingScreenshot());
        const QStringList tail = m_log.mid(m_log.size() - last.count('\n') - 1);
        QVERIFY2(tail.join('\n').startsWith(last), qPrintable(m_log.join('\n')));
        QCOMPARE(m_log.filter("alert:").size(), int(last.startsWith("alert:")));
        QCOMPARE(saved(), how == "saved" ? QStringList{m_name} : QStringList());
        // Hidden for good once the stills came, shown again when none did.
        const QStringList hiddenForGood{"saved", "right click", "folder gone"};
        QCOMPARE(m_app->controlWindow()->isVisible(), !hiddenForGood.contains(how));
        QVERIFY(!QGuiApplication::overrideCursor());
        QCOMPARE(windowsAlive<SelectionWindow>(), 0);
    }

    // Two requests in a row, the second sent before the first is answered: each a still per
    // screen at its density, in the colour of its own picture, the file gone when the portal
    // made it. Any other answer, silence or a portal gone ends in a reason, and the next request
    // is taken.
    void portalStills_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("existing"); // the portal's file was there before
        QTest::addColumn<QString>("first"); // the first outcome and the start of its reason
        QTest::newRow("new file") << "0" << false << "0|";
        QTest::newRow("file that was there") << "0" << true << "0|";
        QTest::newRow("refused") << "1" << false << "1|桌面拒绝了截图请求";
        QTest::newRow("ended otherwise") << "2" << false << "2|桌面的截图服务没能完成截图";
        QTest::newRow("silent") << "silent" << false << "2|截图服务在 0.1 秒内没有应答";
        QTest::newRow("gone") << "gone" << false << "2|截图服务在应答之前退出了";
    }

    void portalStills()
    {
        QFETCH(QString, answer);
        QFETCH(bool, existing);
        const QString file = m_home.filePath("Screenshot.png");
        QFile::remove(file);
        QVERIFY(!existing || QFile(file).open(QIODevice::WriteOnly));
        ScreenshotPortal portal(m_bus.address, file);
        portal.answer = answer;
        PortalStills stills(
            [](const QScreen* s) { return std::optional<quint32>(s->name().size()); },
            [](const QScreen*) { return QSize(); });
        stills.setAnswerTimeout(answer == "silent" ? 100 : 10000);
        std::vector<StillsResult> results;
        for (int i = 0; i < 2; ++i)
            stills.grab([&](StillsResult result) { results.push_back(std::move(result)); });
        QTRY_COMPARE(results.size(), std::size_t(2));
        QFETCH(QString, first);
        const QString outcome = QString("%1|%2").arg(int(results[0].status)).arg(results[0].error);
        QVERIFY2(outcome.startsWith(first), qPrintable(outcome));
        for (std::size_t i = 0; answer == "0" && i < 2; ++i) {
            QCOMPARE(results[i].stills.size(), std::size_t(2));
            const QImage& right = results[i].stills[1].image;
            QCOMPARE(right.size(), QSize(2560, 1440));
            QCOMPARE(right.devicePixelRatio(), 2.0);
            QCOMPARE(results[i].stills[0].image.size(), QSize(1920, 1080));
            QCOMPARE(right.pixel(0, 0), portal.colours[i]);
        }
        QCOMPARE(QFile::exists(file), existing || answer != "0");
    }

    // Over the pen its toolbar and the control window leave the stills, and the toolbar comes back
    // under the selection; a second request is ignored. Whichever of our
    // full-screen layers stays open takes the keyboard back.
    void selectionAndPenHandOver()
    {
        perform("toggle");
        QWidget* pen = QWidget::keyboardGrabber();
        m_app->captureScreenshot();
        QVERIFY(!toolbar()->isVisible() && !m_app->controlWindow()->isVisible());
        QList<QWidget*> views = openSelection();
        QVERIFY(!m_app->captureScreenshot());
        QCOMPARE(m_capturer->grabs, 1);
        QVERIFY(toolbar()->isVisible());
        QCOMPARE(QWidget::keyboardGrabber(), views.last());
        QTest::keyClick(views[0], Qt::Key_Escape);
        QCOMPARE(QWidget::keyboardGrabber(), pen);

        m_app->toggleMarker();
        views = openSelection();
        perform("toggle");
        pen = QWidget::keyboardGrabber();
        QVERIFY(pen && !views.contains(pen));
        QTest::keyClick(pen, Qt::Key_Escape);
        QCOMPARE(QWidget::keyboardGrabber(), views.last());
    }

    // The desktop's choice wins wherever the keys are shown. A key it assigned none is reported
    // after the caller's own message, and again after a save; a desktop that gives no keys blames
    // nobody. A closed session or a returning portal binds again, a start asks to bind only what
    // the desktop does not hold, a save always; its keys run their actions and the end lets go.
    void keysAsTheDesktopAnswers_data()
    {
        // The control window's first line, the menu's, the settings window's notes beside the keys.
        QTest::addColumn<QString>("shown");
        const QString key = "CTRL+ALT+s";
        for (const char* how : {"bind", "list", "change", "closed", "back", "plasma 5.27"})
            QTest::newRow(how) << "框选截图：" + key + "     开关画笔：F8|框选截图    " + key +
                                      "|开关全屏画笔    F8|桌面设定：" + key;
        QTest::newRow("none assigned")
            << "框选截图：未设置     开关画笔：F8|框选截图|开关全屏画笔    F8|桌面未分配按键";
        for (const char* how :
             {"bind refused", "session refused", "no portal", "portal gone", "no backend"})
            QTest::newRow(how) << "此桌面不向程序提供全局快捷键|框选截图|开关全屏画笔|guidance";
    }

    void keysAsTheDesktopAnswers()
    {
        QFETCH(QString, shown);
        const QString how = QTest::currentDataTag();
        m_portal = std::make_unique<Portal>(m_bus.address);
        m_portal->bindAnswer = how == "bind refused";
        m_portal->sessionAnswer = how == "session refused";
        m_portal->listOnlyOnRequest = how == "list";
        m_portal->plasma527 = how == "plasma 5.27";
        if (how != "change")
            m_portal->assign["screenshot"] = how == "none assigned" ? "" : "CTRL+ALT+s";
        if (how == "no portal")
            m_portal.reset();
        if (how == "no backend")
            launch(std::make_unique<NullHotKeyBackend>());
        else
            launch(std::make_unique<PortalHotKeyBackend>(QDBusConnection::sessionBus()));
        QCOMPARE(m_app->statusLine().text(), QString("已启动"));
        if (QStringList{"change", "portal gone", "back", "closed", "plasma 5.27"}.contains(how)) {
            QTRY_COMPARE(m_portal->log.size(), 3 - m_portal->plasma527); // bound
            if (how == "change")
                m_portal->changeTriggers({{"screenshot", "CTRL+ALT+s"}});
            else if (how == "plasma 5.27") // started again
                launch(std::make_unique<PortalHotKeyBackend>(QDBusConnection::sessionBus()));
            else
                m_portal->end(how);
            QTRY_COMPARE(m_portal->log.count("CreateSession"), // bound anew where it has to be
                         how == "change" || how == "portal gone" ? 1 : 2);
        }
        const QList<QAction*> menu = m_app->trayMenu()->actions();
        m_app->showSettings();
        SettingsWindowController& form = *m_app->settingsController();
        const auto notes = [&] {
            QString seen = form.keyGuidance()->isVisible() ? "guidance" : "";
            for (const QLabel* note : {form.screenshotDesktopKey(), form.markerDesktopKey()})
                seen += note->isVisible() ? note->text() : "";
            return seen;
        };
        QTRY_COMPARE(QStringList({shortcutBox().section('\n', 0, 0), menu[0]->text(),
                                  menu[1]->text(), notes()})
                         .join('|'),
                     shown);
        const QString refused = "有快捷键被其他程序占用";
        // Settled: what the last turn of the event loop posted has been shown.
        const auto status = [&] { return QTest::qWait(0), m_app->statusLine().text(); };
        QTRY_COMPARE(status(), how == "none assigned" ? refused : "已启动");
        form.markerPopup()->setCurrentText("F5");
        form.saveSettings();
        QTRY_COMPARE(status(), how == "none assigned" ? refused : "设置已保存");
        if (how != "bind" && how != "plasma 5.27")
            return;
        const QString start = "CreateSession|ListShortcuts|";
        const QString bind = start + "BindShortcuts screenshot 框选截图 F9; pen 开关全屏画笔 F";
        // Plasma 5.27 holds both keys from the first start on: only the save asks to bind.
        const QString log = how == "bind" ? bind + "8|Close|" + bind + "5"
                                          : start + "Close|" + start + "Close|" + bind + "5";
        QTRY_COMPARE(m_portal->log.join('|'), log);
        m_portal->activate("pen");
        QTRY_VERIFY(m_app->overlayManager().isShowing());
        m_portal->activate("screenshot");
        QTRY_VERIFY(m_app->selectionManager());
        m_app->applicationWillTerminate();
        QTRY_COMPARE(m_portal->log.join('|'), log + "|Close");
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
