#include "app/appdelegate.h"
#include "hotkeys/hotkeybackend.h"
#include "overlay/overlaymanager.h"
#include "screenshot/selectionmanager.h"

#include <QMenu>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// Records what the program asks of the system, in order; refuses the codes it is told to.
class FakeHotKeys : public HotKeyBackend
{
public:
    QStringList calls;
    QList<quint32> refused;
    bool registerHotKey(EventHotKeyID id, quint32 code) override
    {
        calls << QStringLiteral("register %1 %2").arg(id.id).arg(code);
        return id.signature == HotKeyIDs::signature && !refused.contains(code);
    }
    void unregisterHotKey(EventHotKeyID id) override
    {
        calls << QStringLiteral("unregister %1").arg(id.id);
    }
};

class QuietAlerts : public Alerts
{
public:
    void showModal(const Alert&) override {}
    void showSheet(QWidget*, const Alert&) override {}
};

class NoCapture : public ScreenCapturer
{
public:
    std::optional<quint32> displayID(const QScreen*) const override { return 1; }
    bool compositing() const override { return true; }
    CaptureResult capture(const QScreen*, const QRectF&) override { return {{}, "none"}; }
};

class Silence : public CaptureSound
{
public:
    void play() override {}
};

} // namespace

class TestHotKeyFlow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    FakeHotKeys* m_hotKeys = nullptr;
    std::unique_ptr<AppDelegate> m_delegate;

    void launch()
    {
        Platform platform;
        platform.alerts = std::make_unique<QuietAlerts>();
        platform.permission = std::make_unique<GrantedCapturePermission>();
        platform.capturer = std::make_unique<NoCapture>();
        platform.sound = std::make_unique<Silence>();
        auto hotKeys = std::make_unique<FakeHotKeys>();
        m_hotKeys = hotKeys.get();
        platform.hotKeys = std::move(hotKeys);
        platform.openFolder = [](const QString&) {};
        platform.clock = [] { return QDateTime::currentDateTime(); };
        m_delegate = std::make_unique<AppDelegate>(std::move(platform));
    }

private slots:
    void initTestCase()
    {
        qputenv("HOME", m_home.path().toUtf8());
        QStandardPaths::setTestModeEnabled(true);
    }

    void init()
    {
        QSettings(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori").clear();
        launch();
    }

    void cleanup()
    {
        m_delegate.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void registration_data()
    {
        QTest::addColumn<QVariant>("screenshotKey");
        QTest::addColumn<QVariant>("markerKey");
        QTest::addColumn<QStringList>("calls");
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
        QFETCH(QStringList, calls);
        QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori");
        if (screenshotKey.isValid())
            raw.setValue("screenshotFunctionKey", screenshotKey);
        if (markerKey.isValid())
            raw.setValue("markerFunctionKey", markerKey);
        raw.sync();
        m_delegate->applicationDidFinishLaunching();
        QCOMPARE(m_hotKeys->calls, calls);
        // Re-applying lets go of both first, screenshot key first.
        m_hotKeys->calls.clear();
        m_delegate->applyHotKeys();
        QCOMPARE(m_hotKeys->calls, QStringList{"unregister 1"} << "unregister 2" << calls);
    }

    void refusalOutlivesTheCallersMessage()
    {
        m_hotKeys->refused = {101};
        m_delegate->applicationDidFinishLaunching();
        QCOMPARE(m_delegate->statusLine().text(), QString("已启动"));
        QTRY_COMPARE(m_delegate->statusLine().text(), QString("有快捷键被其他程序占用"));
        QCOMPARE(m_delegate->statusLine().resetTimer().interval(), 5000);
        QVERIFY(!m_delegate->hasScreenshotHotKey());
        QVERIFY(m_delegate->hasMarkerHotKey());

        // A refused key is not let go of; the one that worked is.
        m_hotKeys->calls.clear();
        m_delegate->applyHotKeys();
        QCOMPARE(m_hotKeys->calls.first(), QString("unregister 2"));
    }

    void noRefusalNoMessage()
    {
        m_delegate->applicationDidFinishLaunching();
        QTest::qWait(20);
        QCOMPARE(m_delegate->statusLine().text(), QString("已启动"));
    }

    void pressesRunTheirActions()
    {
        m_delegate->applicationDidFinishLaunching();
        m_hotKeys->onPressed(HotKeyIDs::pen);
        QVERIFY(m_delegate->overlayManager().isShowing());
        m_hotKeys->onPressed(HotKeyIDs::pen);
        QVERIFY(!m_delegate->overlayManager().isShowing());
        m_hotKeys->onPressed(HotKeyIDs::screenshot);
        QVERIFY(m_delegate->selectionManager());
    }

    void terminationReleasesScreenshotThenPen()
    {
        m_delegate->applicationDidFinishLaunching();
        m_hotKeys->calls.clear();
        m_delegate->applicationWillTerminate();
        QCOMPARE(m_hotKeys->calls, (QStringList{"unregister 1", "unregister 2"}));
        QVERIFY(!m_hotKeys->onPressed);
        m_delegate->applicationWillTerminate();
        QCOMPARE(m_hotKeys->calls.size(), 2);
    }

    void savedKeysShowInTheMenu()
    {
        m_delegate->applicationDidFinishLaunching();
        m_delegate->settings().setInteger(5, SettingsKeys::markerFunctionKey);
        m_delegate->applyHotKeys();
        QCOMPARE(m_hotKeys->calls.last(), QString("register 2 96"));
        QCOMPARE(m_delegate->trayMenu()->actions().at(1)->text(), QString("开关全屏画笔    F5"));
    }
};

QTEST_MAIN(TestHotKeyFlow)
#include "tst_hotkeyflow.moc"
