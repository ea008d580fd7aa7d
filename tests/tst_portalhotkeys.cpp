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

const QString kDefaultBinding = "BindShortcuts screenshot 框选截图 F9; pen 开关全屏画笔 F8";
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
        m_portal = std::make_unique<Fake::Portal>(m_bus.address, true);
    }

    void cleanup()
    {
        m_app.reset();
        m_portal.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void binding_data()
    {
        QTest::addColumn<QVariant>("screenshotKey");
        QTest::addColumn<QVariant>("markerKey");
        QTest::addColumn<QString>("binding");
        QTest::newRow("defaults") << QVariant() << QVariant() << kDefaultBinding;
        QTest::newRow("F1 and F12") << QVariant(1) << QVariant(12)
                                    << "BindShortcuts screenshot 框选截图 F1; pen 开关全屏画笔 F12";
        QTest::newRow("outside 1-12 asks for F9")
            << QVariant(13) << QVariant(0)
            << "BindShortcuts screenshot 框选截图 F9; pen 开关全屏画笔 F9";
    }

    void binding()
    {
        QFETCH(QVariant, screenshotKey);
        QFETCH(QVariant, markerKey);
        QFETCH(QString, binding);
        TestSupport::storeRaw("screenshotFunctionKey", screenshotKey);
        TestSupport::storeRaw("markerFunctionKey", markerKey);
        launch();
        QTRY_COMPARE(m_portal->log, (QStringList{"CreateSession", binding}));
        QTest::qWait(20); // no refusal to report
        QCOMPARE(m_app->statusLine().text(), QString("已启动"));
        QVERIFY(m_app->hasScreenshotHotKey() && m_app->hasMarkerHotKey());
    }

    void activatedRunsTheActions()
    {
        launch();
        QTRY_COMPARE(m_portal->log.size(), 2);
        m_portal->activate("pen");
        QTRY_VERIFY(m_app->overlayManager().isShowing());
        m_portal->activate("pen");
        QTRY_VERIFY(!m_app->overlayManager().isShowing());
        m_portal->activate("screenshot");
        QTRY_VERIFY(m_app->selectionManager());
    }

    // The desktop's choice wins wherever the keys are shown; a key it assigned none is refused.
    void desktopsTriggersShow_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("menu");
        QTest::addColumn<QString>("formText");
        QTest::addColumn<QString>("status");
        const QString box = "框选截图：CTRL+ALT+s     开关画笔：F8";
        const QString menu = "框选截图    CTRL+ALT+s";
        const QString form = "桌面设定：CTRL+ALT+s";
        QTest::newRow("in the bind answer") << "bind"
                                            << "CTRL+ALT+s" << box << menu << form << "已启动";
        QTest::newRow("listed") << "list"
                                << "CTRL+ALT+s" << box << menu << form << "已启动";
        QTest::newRow("changed later") << "change"
                                       << "CTRL+ALT+s" << box << menu << form << "已启动";
        QTest::newRow("none assigned") << "bind"
                                       << ""
                                       << "框选截图：未设置     开关画笔：F8"
                                       << "框选截图"
                                       << "桌面未分配按键" << kRefused;
    }

    void desktopsTriggersShow()
    {
        QFETCH(QString, how);
        QFETCH(QString, trigger);
        QFETCH(QString, box);
        QFETCH(QString, menu);
        QFETCH(QString, formText);
        QFETCH(QString, status);
        m_portal->listOnlyOnRequest = how == "list";
        if (how != "change")
            m_portal->assign["screenshot"] = trigger;
        launch();
        QTRY_VERIFY(m_portal->log.size() >= 2);
        if (how == "change") {
            QTRY_COMPARE(shortcutBox(), QString("框选截图：F9     开关画笔：F8"));
            m_portal->changeTriggers({{"screenshot", trigger}});
        }
        QTRY_COMPARE(shortcutBox(), box);
        QCOMPARE(menuTitles(), (QStringList{menu, "开关全屏画笔    F8"}));
        QTest::qWait(20);
        QCOMPARE(m_app->statusLine().text(), status);
        SettingsWindowController& form = settingsWindow();
        QVERIFY(form.screenshotDesktopKey()->isVisible());
        QCOMPARE(form.screenshotDesktopKey()->text(), formText);
        QVERIFY(!form.markerDesktopKey()->isVisible());
        QVERIFY(!form.keyGuidance()->isVisible());
    }

    void refusalShowsGuidance_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("binding refused") << "bind";
        QTest::newRow("session refused") << "session";
        QTest::newRow("no GlobalShortcuts in the portal") << "interface";
        QTest::newRow("no portal") << "portal";
        QTest::newRow("no backend for the platform") << "backend";
    }

    void refusalShowsGuidance()
    {
        QFETCH(QString, how);
        m_portal->bindAnswer = how == "bind" ? 1 : 0;
        m_portal->sessionAnswer = how == "session" ? 2 : 0;
        if (how == "interface")
            m_portal = std::make_unique<Fake::Portal>(m_bus.address, false);
        if (how == "portal")
            m_portal.reset();
        launch(how != "backend");
        QCOMPARE(m_app->statusLine().text(), QString("已启动"));
        QTRY_COMPARE(m_app->statusLine().text(), kRefused);
        QVERIFY(!m_app->hasScreenshotHotKey() && !m_app->hasMarkerHotKey());
        QCOMPARE(shortcutBox().section('\n', 0, 0), QString("此桌面不向程序提供全局快捷键"));
        QCOMPARE(menuTitles(), (QStringList{"框选截图", "开关全屏画笔"}));
        SettingsWindowController& form = settingsWindow();
        QVERIFY(form.keyGuidance()->isVisible());
        QVERIFY(form.keyGuidance()->text().contains("vellori --screenshot"));
        QVERIFY(form.keyGuidance()->text().contains("vellori --pen"));
        QVERIFY(!form.markerDesktopKey()->isVisible() && !form.screenshotDesktopKey()->isVisible());
    }

    void settingsSaveBindsAgain()
    {
        launch();
        QTRY_COMPARE(m_portal->log.size(), 2);
        SettingsWindowController& form = settingsWindow();
        form.markerPopup()->setCurrentText("F5");
        form.saveSettings();
        QTRY_COMPARE(m_portal->log.mid(2),
                     (QStringList{"Close", "CreateSession",
                                  "BindShortcuts screenshot 框选截图 F9; pen 开关全屏画笔 F5"}));
        QTRY_COMPARE(shortcutBox(), QString("框选截图：F9     开关画笔：F5"));
        QCOMPARE(m_app->statusLine().text(), QString("设置已保存"));
    }

    void portalVanishes()
    {
        launch();
        QTRY_COMPARE(m_portal->log.size(), 2);
        m_portal->vanish();
        QTRY_COMPARE(m_app->statusLine().text(), kRefused);
        QVERIFY(!m_app->hasScreenshotHotKey() && !m_app->hasMarkerHotKey());
        QVERIFY(shortcutBox().startsWith("此桌面不向程序提供全局快捷键"));
        // Asking again, with nobody there to answer, is refused as well.
        m_app->applyHotKeys();
        m_app->updateStatus("设置已保存", 2);
        QTRY_COMPARE(m_app->statusLine().text(), kRefused);
    }
};

QTEST_MAIN(TestPortalHotKeys)
#include "tst_portalhotkeys.moc"
