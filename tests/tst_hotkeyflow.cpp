#include "app/appdelegate.h"
#include "fakeplatform.h"
#include "overlay/overlaymanager.h"
#include "screenshot/selectionmanager.h"
#include "testsupport.h"

#include <QMenu>
#include <QTemporaryDir>
#include <QTest>

class TestHotKeyFlow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    Fake::Desktop m_fake;
    std::unique_ptr<AppDelegate> m_app;

    QStringList& calls() { return m_fake.hotKeys->calls; }

private slots:
    void initTestCase()
    {
        qputenv("HOME", m_home.path().toUtf8());
        QVERIFY(TestSupport::isolateSettings());
    }

    void init()
    {
        TestSupport::clearSettings();
        m_app = std::make_unique<AppDelegate>(m_fake.platform());
    }

    void cleanup()
    {
        m_app.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void registration_data()
    {
        QTest::addColumn<QVariant>("screenshotKey");
        QTest::addColumn<QVariant>("markerKey");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("defaults") << QVariant() << QVariant()
                                  << QStringList{"register 1 101", "register 2 100"};
        QTest::newRow("F1 and F12")
            << QVariant(1) << QVariant(12) << QStringList{"register 1 122", "register 2 111"};
        QTest::newRow("outside 1-12 gives F9's code")
            << QVariant(13) << QVariant(0) << QStringList{"register 1 101", "register 2 101"};
        QTest::newRow("garbage reads 0")
            << QVariant("x") << QVariant(5) << QStringList{"register 1 101", "register 2 96"};
    }

    void registration()
    {
        QFETCH(QVariant, screenshotKey);
        QFETCH(QVariant, markerKey);
        QFETCH(QStringList, expected);
        TestSupport::storeRaw("screenshotFunctionKey", screenshotKey);
        TestSupport::storeRaw("markerFunctionKey", markerKey);
        m_app->applicationDidFinishLaunching();
        QCOMPARE(calls(), expected);
        QTest::qWait(20); // no refusal to report
        QCOMPARE(m_app->statusLine().text(), QString("已启动"));
        // Re-applying lets go of both first, screenshot key first.
        calls().clear();
        m_app->applyHotKeys();
        QCOMPARE(calls(), QStringList{"unregister 1"} << "unregister 2" << expected);
    }

    void refusalOutlivesTheCallersMessage()
    {
        m_fake.hotKeys->refused = {101};
        m_app->applicationDidFinishLaunching();
        QCOMPARE(m_app->statusLine().text(), QString("已启动"));
        QTRY_COMPARE(m_app->statusLine().text(), QString("有快捷键被其他程序占用"));
        QCOMPARE(m_app->statusLine().resetTimer().interval(), 5000);
        QVERIFY(!m_app->hasScreenshotHotKey());
        QVERIFY(m_app->hasMarkerHotKey());
        // Only the key that was had is let go of.
        calls().clear();
        m_app->applyHotKeys();
        QCOMPARE(calls().first(), QString("unregister 2"));
    }

    void pressesRunTheirActionsUntilTermination()
    {
        m_app->applicationDidFinishLaunching();
        m_fake.hotKeys->onPressed(HotKeyIDs::pen);
        QVERIFY(m_app->overlayManager().isShowing());
        m_fake.hotKeys->onPressed(HotKeyIDs::pen);
        QVERIFY(!m_app->overlayManager().isShowing());
        m_fake.hotKeys->onPressed(HotKeyIDs::screenshot);
        QVERIFY(m_app->selectionManager());
        // Screenshot key first, then the pen key and the handler; only once.
        calls().clear();
        m_app->applicationWillTerminate();
        m_app->applicationWillTerminate();
        QCOMPARE(calls(), (QStringList{"unregister 1", "unregister 2"}));
        QVERIFY(!m_fake.hotKeys->onPressed);
    }

    void savedKeysShowInTheMenu()
    {
        m_app->applicationDidFinishLaunching();
        m_app->settings().setInteger(5, SettingsKeys::markerFunctionKey);
        m_app->applyHotKeys();
        QCOMPARE(calls().last(), QString("register 2 96"));
        QCOMPARE(m_app->trayMenu()->actions().at(1)->text(), QString("开关全屏画笔    F5"));
    }
};

QTEST_MAIN(TestHotKeyFlow)
#include "tst_hotkeyflow.moc"
