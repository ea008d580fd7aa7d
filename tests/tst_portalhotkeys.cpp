// The program's hot keys through a GlobalShortcuts portal: a fake one on a private bus.

#include "app/appdelegate.h"
#include "app/controlwindow.h"
#include "fakeplatform.h"
#include "fakeportal.h"
#include "hotkeys/nullhotkeybackend.h"
#include "hotkeys/portalhotkeybackend.h"
#include "overlay/overlaymanager.h"
#include "settings/settingswindowcontroller.h"
#include "testsupport.h"

#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QTest>

namespace
{

const QString kRefused = "有快捷键被其他程序占用";

} // namespace

class TestPortalHotKeys : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    Fake::PrivateBus m_bus;
    Fake::Desktop m_fake;
    std::unique_ptr<Fake::Portal> m_portal;
    std::unique_ptr<AppDelegate> m_app;

    // Launched with the portal backend on the private bus, or with none at all.
    void launch(bool portal = true)
    {
        Platform platform = m_fake.platform();
        if (portal)
            platform.hotKeys = std::make_unique<PortalHotKeyBackend>(QDBusConnection::sessionBus());
        else
            platform.hotKeys = std::make_unique<NullHotKeyBackend>();
        m_app = std::make_unique<AppDelegate>(std::move(platform));
        m_app->applicationDidFinishLaunching();
    }

    QString shortcutBox() const { return m_app->controlWindow()->shortcutLabel()->text(); }
    QStringList menuTitles() const
    {
        return {m_app->trayMenu()->actions().at(0)->text(),
                m_app->trayMenu()->actions().at(1)->text()};
    }
    SettingsWindowController& settingsWindow()
    {
        m_app->showSettings();
        return *m_app->settingsController();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!m_bus.address.isEmpty(), "dbus-daemon did not start");
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address.toUtf8());
        qputenv("HOME", m_home.path().toUtf8());
        QVERIFY(TestSupport::isolateSettings());
    }

    void init()
    {
        TestSupport::clearSettings();
        m_portal = std::make_unique<Fake::Portal>(m_bus.address);
    }

    void cleanup()
    {
        m_app.reset();
        m_portal.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Bound as stored, each key runs its own action, a save binds anew and the end lets go.
    void bindRunSaveAndEnd()
    {
        TestSupport::storeRaw("screenshotFunctionKey", 1);
        TestSupport::storeRaw("markerFunctionKey", 12);
        launch();
        QTRY_COMPARE(m_portal->log,
                     (QStringList{"CreateSession", "BindShortcuts screenshot 框选截图 "
                                                   "F1; pen 开关全屏画笔 F12"}));
        m_portal->activate("pen");
        QTRY_VERIFY(m_app->overlayManager().isShowing());
        m_portal->activate("pen");
        QTRY_VERIFY(!m_app->overlayManager().isShowing());

        SettingsWindowController& form = settingsWindow();
        form.markerPopup()->setCurrentText("F5");
        form.saveSettings();
        QTRY_COMPARE(m_portal->log.mid(2),
                     (QStringList{"Close", "CreateSession",
                                  "BindShortcuts screenshot 框选截图 F1; pen 开关全屏画笔 F5"}));
        QTRY_COMPARE(shortcutBox(), QString("框选截图：F1     开关画笔：F5"));
        QCOMPARE(m_app->statusLine().text(), QString("设置已保存"));
        m_portal->activate("screenshot");
        QTRY_VERIFY(m_app->selectionManager());
        m_app->applicationWillTerminate();
        QTRY_COMPARE(m_portal->log.size(), 6);
        QCOMPARE(m_portal->log.last(), QString("Close"));
    }

    // The desktop's choice wins wherever the keys are shown; a key it assigned none is refused.
    void desktopsTriggersShow_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("trigger");
        QTest::newRow("in the bind answer") << "bind"
                                            << "CTRL+ALT+s";
        QTest::newRow("listed") << "list"
                                << "CTRL+ALT+s";
        QTest::newRow("changed later") << "change"
                                       << "CTRL+ALT+s";
        QTest::newRow("none assigned") << "bind"
                                       << "";
    }

    void desktopsTriggersShow()
    {
        QFETCH(QString, how);
        QFETCH(QString, trigger);
        m_portal->listOnlyOnRequest = how == "list";
        if (how != "change")
            m_portal->assign["screenshot"] = trigger;
        launch();
        QTRY_VERIFY(m_portal->log.size() >= 2);
        if (how == "change") {
            QTRY_COMPARE(shortcutBox(), QString("框选截图：F9     开关画笔：F8"));
            m_portal->changeTriggers({{"screenshot", trigger}});
        }
        const bool none = trigger.isEmpty();
        QTRY_COMPARE(shortcutBox(),
                     "框选截图：" + (none ? "未设置" : trigger) + "     开关画笔：F8");
        QCOMPARE(menuTitles(),
                 (QStringList{none ? "框选截图" : "框选截图    " + trigger, "开关全屏画笔    F8"}));
        QTest::qWait(20);
        QCOMPARE(m_app->statusLine().text(), none ? kRefused : "已启动");
        SettingsWindowController& form = settingsWindow();
        QVERIFY(form.screenshotDesktopKey()->isVisible());
        QCOMPARE(form.screenshotDesktopKey()->text(),
                 none ? "桌面未分配按键" : "桌面设定：" + trigger);
        QVERIFY(!form.markerDesktopKey()->isVisible());
        QVERIFY(!form.keyGuidance()->isVisible());
    }

    // Reported after the caller's own message, with guidance instead of keys; asking again
    // is refused again.
    void refusalShowsGuidance_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("binding refused") << "bind";
        QTest::newRow("session refused") << "session";
        QTest::newRow("no portal") << "portal";
        QTest::newRow("portal gone later") << "vanish";
        QTest::newRow("no backend for the platform") << "backend";
    }

    void refusalShowsGuidance()
    {
        QFETCH(QString, how);
        m_portal->bindAnswer = how == "bind" ? 1 : 0;
        m_portal->sessionAnswer = how == "session" ? 2 : 0;
        if (how == "portal")
            m_portal.reset();
        launch(how != "backend");
        QCOMPARE(m_app->statusLine().text(), QString("已启动"));
        if (how == "vanish") {
            QTRY_COMPARE(m_portal->log.size(), 2);
            m_portal->vanish();
        }
        QTRY_COMPARE(m_app->statusLine().text(), kRefused);
        QVERIFY(!m_app->hasScreenshotHotKey() && !m_app->hasMarkerHotKey());
        QCOMPARE(shortcutBox().section('\n', 0, 0), QString("此桌面不向程序提供全局快捷键"));
        QCOMPARE(menuTitles(), (QStringList{"框选截图", "开关全屏画笔"}));
        SettingsWindowController& form = settingsWindow();
        QVERIFY(form.keyGuidance()->isVisible());
        QVERIFY(form.keyGuidance()->text().contains("vellori --screenshot"));
        QVERIFY(form.keyGuidance()->text().contains("vellori --pen"));
        QVERIFY(!form.markerDesktopKey()->isVisible() && !form.screenshotDesktopKey()->isVisible());
        m_app->applyHotKeys();
        m_app->updateStatus("设置已保存", 2);
        QTRY_COMPARE(m_app->statusLine().text(), kRefused);
    }
};

QTEST_MAIN(TestPortalHotKeys)
#include "tst_portalhotkeys.moc"
