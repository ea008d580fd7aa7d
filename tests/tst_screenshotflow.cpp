#include "app/appdelegate.h"
#include "app/controlwindow.h"
#include "fakeplatform.h"
#include "overlay/overlaycontentview.h"
#include "overlay/overlaymanager.h"
#include "overlay/overlaywindow.h"
#include "screenshot/screenshotpaths.h"
#include "screenshot/selectionmanager.h"
#include "screenshot/selectionview.h"
#include "screenshot/selectionwindow.h"
#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class TestScreenshotFlow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    Fake::Desktop m_fake; // its log also gets "status:<message>"
    std::unique_ptr<AppDelegate> m_delegate;
    const QString m_name = "截图_2025-03-04_09-05-07.png";

    QString dayFolder() const { return ScreenshotPaths::screenshotRoot() + "/2025-03-04"; }
    QStringList saved() const { return QDir(dayFolder()).entryList(QDir::Files | QDir::Hidden); }

    // Starts a request and waits for the selection's views; empty when it ended at once.
    QList<QWidget*> openSelection()
    {
        m_delegate->captureScreenshot();
        const auto manager = [this] { return m_delegate->selectionManager(); };
        QList<QWidget*> views;
        if (QTest::qWaitFor([&] { return !manager() || !manager()->windows().empty(); }) &&
            manager()) {
            for (SelectionWindow* w : manager()->windows())
                views << w->view();
        }
        return views;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        qunsetenv("XDG_CONFIG_HOME");
        QVERIFY(TestSupport::isolateSettings());
    }

    void init()
    {
        m_fake = {};
        QDir(ScreenshotPaths::screenshotRoot()).removeRecursively();
        m_delegate = std::make_unique<AppDelegate>(m_fake.platform());
        m_delegate->applicationDidFinishLaunching();
        m_delegate->statusLine().onMessage =
            [this, old = m_delegate->statusLine().onMessage](const QString& message) {
                old(message);
                m_fake.log << "status:" + message;
            };
    }

    void cleanup()
    {
        m_delegate.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void refusedPermissionChangesNothing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("request accepted")
            << "macOS 已收到授权请求。请在系统设置中允许“Vellori截图与红笔”，然后完全退出并重新"
               "打开本应用。";
        QTest::newRow("request refused")
            << "请先在“系统设置 → 隐私与安全性 → 屏幕与系统音频录制”中允许本应用，然后完全退出并"
               "重新打开。";
    }

    void refusedPermissionChangesNothing()
    {
        QFETCH(QString, text);
        m_fake.permission->granted = false;
        m_fake.permission->requestAnswer =
            QTest::currentDataTag() == QByteArray("request accepted");
        m_delegate->captureScreenshot();
        QCOMPARE(m_fake.permission->requests, 1);
        QCOMPARE(m_fake.log, QStringList{"alert:需要重新确认屏幕录制权限|" + text});
        QVERIFY(!m_delegate->selectionManager());
        QVERIFY(!QFileInfo::exists(ScreenshotPaths::screenshotRoot()));
        QVERIFY(m_delegate->controlWindow()->isVisible());
    }

    void savesTheSelectedRegionOnTheSecondScreen()
    {
        const QList<QWidget*> views = openSelection();
        QCOMPARE(views.size(), 2);
        QVERIFY(!m_delegate->controlWindow()->isVisible());
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);
        // The clock moves on; the name stays the one chosen at the request.
        m_fake.now = m_fake.now.addSecs(5);

        TestSupport::drawStroke(views[1], {QPoint(10, 20), QPoint(310, 220)});
        QVERIFY(!m_delegate->selectionManager());
        QTRY_COMPARE(saved(), QStringList{m_name});
        QCOMPARE(m_fake.log,
                 (QStringList{"status:请拖拽选择截图区域", "status:已保存 " + m_name, "sound"}));
        QVERIFY(!QGuiApplication::overrideCursor());
        const QImage saved(dayFolder() + "/" + m_name);
        QCOMPARE(saved.size(), QSize(600, 400)); // the right screen's ratio is 2
        QCOMPARE(saved.pixel(0, 0), QColor(Qt::magenta).rgb());
    }

    void twoInTheSameSecondAreBothKept()
    {
        for (int i = 1; i <= 2; ++i) {
            const QList<QWidget*> views = openSelection();
            QCOMPARE(m_fake.capturer->grabs, i);
            TestSupport::drawStroke(views[0], {QPoint(100, 100), QPoint(140, 130)});
            QTRY_COMPARE(saved().size(), i);
        }
        QCOMPARE(saved(), (QStringList{m_name, "截图_2025-03-04_09-05-07_02.png"}));
        QCOMPARE(QImage(dayFolder() + "/" + m_name).size(), QSize(40, 30));
    }

    void cancelWritesNothing_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("escape") << 0;
        QTest::newRow("right click") << 1;
        QTest::newRow("no display identifiers") << 2;
    }

    void cancelWritesNothing()
    {
        QFETCH(int, how);
        m_fake.capturer->identifiers = how != 2;
        const QList<QWidget*> views = openSelection();
        QCOMPARE(views.size(), how == 2 ? 0 : 2);
        if (how == 0)
            QTest::keyClick(views[0], Qt::Key_Escape);
        else if (how == 1)
            QTest::mouseClick(views[1], Qt::RightButton);
        QCOMPARE(m_fake.log.last(), QString("status:已取消截图"));
        QCOMPARE(m_delegate->statusLine().resetTimer().interval(), 2000);
        QVERIFY(!m_delegate->isTakingScreenshot());
        QVERIFY(QFileInfo(dayFolder()).isDir());
        QVERIFY(saved().isEmpty());
        QVERIFY(!QGuiApplication::overrideCursor());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (QWidget* w : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<SelectionWindow*>(w));
    }

    // Over the open pen: a second request is ignored, and the pen gets the keyboard back.
    void whileSelectingOverThePen()
    {
        m_delegate->toggleMarker();
        QWidget* penKeyboard = QWidget::keyboardGrabber();
        QVERIFY(penKeyboard);
        const QList<QWidget*> views = openSelection();
        SelectionManager* first = m_delegate->selectionManager();
        m_delegate->captureScreenshot();
        QCOMPARE(m_delegate->selectionManager(), first);
        QCOMPARE(first->windows().size(), std::size_t(2));
        QCOMPARE(QWidget::keyboardGrabber(), views.last());
        QTest::keyClick(views[0], Qt::Key_Escape);
        QCOMPARE(QWidget::keyboardGrabber(), penKeyboard);
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    // Whichever of our full-screen layers stays open takes the keyboard back.
    void penClosedOverTheSelection()
    {
        const QList<QWidget*> views = openSelection();
        m_delegate->toggleMarker();
        QWidget* pen = QWidget::keyboardGrabber();
        QVERIFY(pen && !views.contains(pen));
        QTest::keyClick(pen, Qt::Key_Escape);
        QVERIFY(!m_delegate->overlayManager().isShowing());
        QCOMPARE(QWidget::keyboardGrabber(), views.last());
    }

    // The control window and the pen's toolbar are hidden for the stills and their area
    // watched; the toolbar comes back under the selection.
    void ourWindowsStayOutOfTheStills()
    {
        m_delegate->toggleMarker();
        QWidget* toolbar = m_delegate->overlayManager().windows().front()->contentView()->toolbar();
        const QRegion vacated = QRegion(m_delegate->controlWindow()->frameGeometry()) +
                                QRect(toolbar->mapToGlobal(QPoint()), toolbar->size());
        m_delegate->captureScreenshot();
        QVERIFY(!toolbar->isVisible() && !m_delegate->controlWindow()->isVisible());
        QCOMPARE(m_fake.capturer->vacated, vacated);
        QTRY_VERIFY(toolbar->isVisible());
        QVERIFY(m_delegate->selectionManager()->isRunning());
    }

    // Without blending the pen opens on stills; toggled off before they come, it never opens.
    void penWaitsForItsStills()
    {
        m_fake.capturer->live = false;
        OverlayManager& overlay = m_delegate->overlayManager();
        for (int i = 0; i < 3; ++i)
            m_delegate->toggleMarker();
        QVERIFY(overlay.isOpening() && !overlay.isShowing());
        QTRY_VERIFY(overlay.isShowing());
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const QWidgetList all = QApplication::topLevelWidgets();
        QCOMPARE(std::count_if(all.begin(), all.end(),
                               [](QWidget* w) { return qobject_cast<OverlayWindow*>(w); }),
                 2);
        QCOMPARE(overlay.windows().back()->grab().toImage().pixel(5, 5), QColor(Qt::magenta).rgb());
    }

    void failuresEndInOneAlert_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("display gone") << "无法找到所选显示器。";
        QTest::newRow("folder gone") << "无法写入“" + m_name + "”";
    }

    void failuresEndInOneAlert()
    {
        QFETCH(QString, text);
        const QByteArray failure = QTest::currentDataTag();
        const QList<QWidget*> views = openSelection();
        if (failure == "display gone")
            m_fake.capturer->identifiers = false;
        else
            QVERIFY(QDir(dayFolder()).removeRecursively());
        TestSupport::drawStroke(views[0], {QPoint(10, 10), QPoint(60, 60)});
        QTRY_VERIFY(!m_delegate->isTakingScreenshot());
        QCOMPARE(m_fake.log.filter("alert:").size(), 1);
        QVERIFY(!m_fake.log.contains("sound"));
        QVERIFY2(m_fake.log.last().startsWith("alert:截图失败|" + text),
                 qPrintable(m_fake.log.last()));
        QVERIFY(saved().isEmpty());
    }

    // A refusal asks for the permission again, or names the desktop's own setting when the
    // desktop refused; a failure says why. Neither opens a selection.
    void stillsNotTaken_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QString>("hint");
        QTest::addColumn<QString>("alert");
        QTest::newRow("refused")
            << true << QString()
            << "alert:需要重新确认屏幕录制权限|请先在“系统设置 → 隐私与安全"
               "性 → 屏幕与系统音频录制”中允许本应用，然后完全退出并重新打开。";
        QTest::newRow("refused by the desktop")
            << true << "请在桌面设置中允许截图。"
            << "alert:需要重新确认屏幕录制权限|请在桌面设置中允许截图。";
        QTest::newRow("failed") << false << QString() << "alert:截图失败|无法读取屏幕内容。";
    }

    void stillsNotTaken()
    {
        QFETCH(bool, refused);
        QFETCH(QString, hint);
        QFETCH(QString, alert);
        m_fake.capturer->refused = refused;
        m_fake.capturer->refusalHint = hint;
        m_fake.capturer->failure = "无法读取屏幕内容。";
        m_delegate->captureScreenshot();
        QTRY_VERIFY(!m_delegate->isTakingScreenshot());
        QCOMPARE(m_fake.log, (QStringList{"status:请拖拽选择截图区域", alert}));
        QCOMPARE(m_fake.permission->requests, int(refused && hint.isEmpty()));
        QVERIFY(!m_delegate->selectionManager());
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    void dayFolderThatCannotBeMade()
    {
        // A file where the root folder should be.
        QVERIFY(QDir().mkpath(QFileInfo(ScreenshotPaths::screenshotRoot()).path()));
        QFile blocker(ScreenshotPaths::screenshotRoot());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        m_delegate->captureScreenshot();
        QVERIFY(blocker.remove());
        QCOMPARE(m_fake.log.size(), 1);
        QVERIFY(m_fake.log.first().startsWith("alert:截图失败|"));
        QVERIFY(!m_delegate->selectionManager());
    }

    void openFolderCreatesTheRoot_data()
    {
        QTest::addColumn<bool>("opens");
        QTest::newRow("file manager") << true;
        QTest::newRow("no file manager") << false;
    }

    void openFolderCreatesTheRoot()
    {
        QFETCH(bool, opens);
        m_fake.opensFolders = opens;
        m_delegate->openScreenshotFolder();
        const QString root = ScreenshotPaths::screenshotRoot();
        QVERIFY(QFileInfo(root).isDir());
        QStringList expected{"open:" + root};
        if (!opens)
            expected << "status:无法打开截图文件夹：" + root;
        QCOMPARE(m_fake.log, expected);
        QCOMPARE(m_delegate->statusLine().resetTimer().interval(), opens ? 2000 : 10000);
    }
};

QTEST_MAIN(TestScreenshotFlow)
#include "tst_screenshotflow.moc"
