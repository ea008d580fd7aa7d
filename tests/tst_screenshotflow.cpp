#include "app/appdelegate.h"
#include "app/controlwindow.h"
#include "hotkeys/hotkeybackend.h"
#include "screenshot/capturegeometry.h"
#include "screenshot/screenshotpaths.h"
#include "screenshot/selectionmanager.h"
#include "screenshot/selectionview.h"
#include "screenshot/selectionwindow.h"

#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// What the user saw, in order: alerts, status messages and the sound.
struct Log {
    QStringList events;
};

class RecordingAlerts : public Alerts
{
public:
    explicit RecordingAlerts(Log& log) : m_log(log) {}
    void showModal(const Alert& a) override
    {
        m_log.events << "alert:" + a.messageText + "|" + a.informativeText;
    }
    void showSheet(QWidget*, const Alert& a) override { m_log.events << "sheet:" + a.messageText; }

private:
    Log& m_log;
};

class FakePermission : public CapturePermission
{
public:
    bool granted = true;
    bool requestAnswer = false;
    int requests = 0;
    bool preflight() override { return granted; }
    bool request() override
    {
        ++requests;
        return requestAnswer;
    }
};

class FakeSound : public CaptureSound
{
public:
    explicit FakeSound(Log& log) : m_log(log) {}
    void play() override { m_log.events << "sound"; }

private:
    Log& m_log;
};

// Identifiers 101, 102 … for the screens; captures are filled with the screen's colour.
class FakeCapturer : public ScreenCapturer
{
public:
    bool live = true;
    bool identifiers = true;
    QString failure;
    std::optional<quint32> displayID(const QScreen* screen) const override
    {
        const qsizetype i = QGuiApplication::screens().indexOf(screen);
        if (!identifiers || i < 0)
            return std::nullopt;
        return quint32(101 + i);
    }
    bool compositing() const override { return live; }
    CaptureResult capture(const QScreen* screen, const QRectF& rect) override
    {
        ++captures;
        if (!failure.isEmpty())
            return {{}, failure};
        QImage image(nativeSize(rect.size(), screen->devicePixelRatio()), QImage::Format_RGB32);
        image.fill(QGuiApplication::screens().indexOf(screen) == 0 ? Qt::darkCyan : Qt::magenta);
        image.setDevicePixelRatio(screen->devicePixelRatio());
        return {image, {}};
    }
    int captures = 0;
};

void drag(QWidget* view, QPoint from, QPoint to)
{
    QTest::mousePress(view, Qt::LeftButton, {}, from);
    QMouseEvent move(QEvent::MouseMove, to, view->mapToGlobal(to), Qt::NoButton, Qt::LeftButton,
                     {});
    QApplication::sendEvent(view, &move);
    QTest::mouseRelease(view, Qt::LeftButton, {}, to);
}

} // namespace

class TestScreenshotFlow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;
    Log m_log;
    FakePermission* m_permission = nullptr;
    FakeCapturer* m_capturer = nullptr;
    std::unique_ptr<AppDelegate> m_delegate;
    QDateTime m_now{QDate(2025, 3, 4), QTime(9, 5, 7)};

    QString dayFolder() const { return ScreenshotPaths::screenshotRoot() + "/2025-03-04"; }

    // Starts a request and waits until the selection windows are up.
    QList<SelectionWindow*> openSelection()
    {
        m_delegate->captureScreenshot();
        SelectionManager* manager = m_delegate->selectionManager();
        if (!manager)
            return {};
        if (!QTest::qWaitFor([&] { return !manager->windows().empty(); }, 2000))
            return {};
        QList<SelectionWindow*> windows;
        for (SelectionWindow* w : manager->windows())
            windows << w;
        return windows;
    }

    QStringList savedFiles() const
    {
        return QDir(dayFolder()).entryList(QDir::Files | QDir::Hidden);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        qunsetenv("XDG_CONFIG_HOME");
        QStandardPaths::setTestModeEnabled(true);
    }

    void init()
    {
        m_log.events.clear();
        QDir(ScreenshotPaths::screenshotRoot()).removeRecursively();
        Platform platform;
        platform.alerts = std::make_unique<RecordingAlerts>(m_log);
        auto permission = std::make_unique<FakePermission>();
        m_permission = permission.get();
        platform.permission = std::move(permission);
        auto capturer = std::make_unique<FakeCapturer>();
        m_capturer = capturer.get();
        platform.capturer = std::move(capturer);
        platform.sound = std::make_unique<FakeSound>(m_log);
        platform.hotKeys = createHotKeyBackend();
        platform.openFolder = [this](const QString& folder) { m_log.events << "open:" + folder; };
        platform.clock = [this] { return m_now; };
        m_delegate = std::make_unique<AppDelegate>(std::move(platform));
        m_delegate->applicationDidFinishLaunching();
        m_delegate->statusLine().onMessage =
            [this, old = m_delegate->statusLine().onMessage](const QString& message) {
                old(message);
                m_log.events << "status:" + message;
            };
    }

    void cleanup()
    {
        m_delegate.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void refusedPermissionChangesNothing_data()
    {
        QTest::addColumn<bool>("requestAnswer");
        QTest::addColumn<QString>("text");
        QTest::newRow("request accepted") << true
                                          << "macOS "
                                             "已收到授权请求。请在系统设置中允许“Vellori截图与红笔”"
                                             "，然后完全退出并重新打开本应用。";
        QTest::newRow("request refused")
            << false
            << "请先在“系统设置 → 隐私与安全性 → "
               "屏幕与系统音频录制”中允许本应用，然后完全退出并重新打开。";
    }

    void refusedPermissionChangesNothing()
    {
        QFETCH(bool, requestAnswer);
        QFETCH(QString, text);
        m_permission->granted = false;
        m_permission->requestAnswer = requestAnswer;
        m_delegate->captureScreenshot();
        QCOMPARE(m_permission->requests, 1);
        QCOMPARE(m_log.events, QStringList{"alert:需要重新确认屏幕录制权限|" + text});
        QVERIFY(!m_delegate->selectionManager());
        QVERIFY(!QFileInfo::exists(ScreenshotPaths::screenshotRoot()));
        QVERIFY(m_delegate->controlWindow()->isVisible());
    }

    void savesTheSelectedRegionOnTheSecondScreen()
    {
        const QList<SelectionWindow*> windows = openSelection();
        QCOMPARE(windows.size(), 2);
        QCOMPARE(m_log.events, QStringList{"status:请拖拽选择截图区域"});
        QVERIFY(!m_delegate->controlWindow()->isVisible());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);

        drag(windows[1]->view(), QPoint(10, 20), QPoint(310, 220));
        QVERIFY(!m_delegate->selectionManager());
        QTRY_COMPARE(savedFiles(), QStringList{"截图_2025-03-04_09-05-07.png"});
        QCOMPARE(m_log.events,
                 (QStringList{"status:请拖拽选择截图区域",
                              "status:已保存 截图_2025-03-04_09-05-07.png", "sound"}));
        QVERIFY(!QGuiApplication::overrideCursor());
        const QImage saved(dayFolder() + "/截图_2025-03-04_09-05-07.png");
        QCOMPARE(saved.size(), QSize(600, 400)); // the right screen's ratio is 2
        QCOMPARE(saved.pixel(0, 0), QColor(Qt::magenta).rgb());
    }

    void stillIsCutWithoutACompositor()
    {
        m_capturer->live = false;
        const QList<SelectionWindow*> windows = openSelection();
        QCOMPARE(m_capturer->captures, 2); // one still per screen, before the windows
        drag(windows[0]->view(), QPoint(100, 100), QPoint(140, 130));
        QTRY_COMPARE(savedFiles().size(), 1);
        QCOMPARE(m_capturer->captures, 2);
        QCOMPARE(QImage(dayFolder() + "/" + savedFiles().first()).size(), QSize(40, 30));
    }

    void cancelWritesNothing_data()
    {
        QTest::addColumn<bool>("rightClick");
        QTest::newRow("escape") << false;
        QTest::newRow("right click") << true;
    }

    void cancelWritesNothing()
    {
        QFETCH(bool, rightClick);
        const QList<SelectionWindow*> windows = openSelection();
        if (rightClick)
            QTest::mouseClick(windows[1]->view(), Qt::RightButton);
        else
            QTest::keyClick(windows[0]->view(), Qt::Key_Escape);
        QCOMPARE(m_log.events.last(), QString("status:已取消截图"));
        QVERIFY(QFileInfo(dayFolder()).isDir());
        QVERIFY(savedFiles().isEmpty());
        QCOMPARE(m_delegate->statusLine().resetTimer().interval(), 2000);
        QVERIFY(!QGuiApplication::overrideCursor());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (QWidget* w : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<SelectionWindow*>(w));
    }

    void secondRequestWhileSelectingIsIgnored()
    {
        const QList<SelectionWindow*> windows = openSelection();
        SelectionManager* first = m_delegate->selectionManager();
        m_delegate->captureScreenshot();
        QCOMPARE(m_delegate->selectionManager(), first);
        QCOMPARE(first->windows().size(), std::size_t(2));
        QTest::keyClick(windows[0]->view(), Qt::Key_Escape);
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    void openPenGetsTheKeyboardBack()
    {
        m_delegate->toggleMarker();
        QWidget* penKeyboard = QWidget::keyboardGrabber();
        QVERIFY(penKeyboard);
        const QList<SelectionWindow*> windows = openSelection();
        QCOMPARE(QWidget::keyboardGrabber(), windows.last()->view());
        QTest::keyClick(windows[0]->view(), Qt::Key_Escape);
        QCOMPARE(QWidget::keyboardGrabber(), penKeyboard);
        m_delegate->toggleMarker();
    }

    void sameSecondKeepsBothFiles()
    {
        for (int i = 0; i < 2; ++i) {
            const QList<SelectionWindow*> windows = openSelection();
            drag(windows[0]->view(), QPoint(10, 10), QPoint(60, 60));
            QTRY_COMPARE(savedFiles().size(), i + 1);
        }
        QCOMPARE(savedFiles(),
                 (QStringList{"截图_2025-03-04_09-05-07.png", "截图_2025-03-04_09-05-07_02.png"}));
    }

    void noIdentifiersEndsAsCancelled()
    {
        m_capturer->identifiers = false;
        m_delegate->captureScreenshot();
        QTRY_COMPARE(m_log.events.last(), QString("status:已取消截图"));
        QVERIFY(!m_delegate->isTakingScreenshot());
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    void failuresEndInOneAlert_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("text");
        QTest::newRow("display gone") << "display"
                                      << "无法找到所选显示器。";
        QTest::newRow("capture failed") << "capture"
                                        << "无法读取屏幕内容。";
        QTest::newRow("folder gone") << "folder"
                                     << "无法写入“截图_2025-03-04_09-05-07.png”";
    }

    void failuresEndInOneAlert()
    {
        QFETCH(QString, failure);
        QFETCH(QString, text);
        const QList<SelectionWindow*> windows = openSelection();
        if (failure == "display")
            m_capturer->identifiers = false;
        else if (failure == "capture")
            m_capturer->failure = "无法读取屏幕内容。";
        else
            QVERIFY(QDir(dayFolder()).removeRecursively());
        drag(windows[0]->view(), QPoint(10, 10), QPoint(60, 60));
        QTRY_VERIFY(m_log.events.last().startsWith("alert:"));
        QVERIFY2(m_log.events.last().startsWith("alert:截图失败|" + text),
                 qPrintable(m_log.events.last()));
        QVERIFY(!m_log.events.contains("sound"));
        QVERIFY(savedFiles().isEmpty());
        QVERIFY(!m_delegate->isTakingScreenshot());
    }

    void dayFolderThatCannotBeMade()
    {
        // A file where the root folder should be.
        QDir().mkpath(QFileInfo(ScreenshotPaths::screenshotRoot()).path());
        QFile blocker(ScreenshotPaths::screenshotRoot());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        m_delegate->captureScreenshot();
        QCOMPARE(m_log.events.size(), 1);
        QVERIFY(m_log.events.first().startsWith("alert:截图失败|"));
        QVERIFY(!m_delegate->selectionManager());
        QVERIFY(blocker.remove());
    }

    void openFolderCreatesTheRoot()
    {
        m_delegate->openScreenshotFolder();
        QVERIFY(QFileInfo(ScreenshotPaths::screenshotRoot()).isDir());
        QCOMPARE(m_log.events, QStringList{"open:" + ScreenshotPaths::screenshotRoot()});
    }
};

QTEST_MAIN(TestScreenshotFlow)
#include "tst_screenshotflow.moc"
