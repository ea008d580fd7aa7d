// The program as the user meets it, through the delegate on a fake desktop: tray menu, control
// window, status messages, the pen overlay and the screenshot flow.

#include "app/appdelegate.h"
#include "app/applicationsetup.h"
#include "app/controlwindow.h"
#include "app/icons.h"
#include "fakeplatform.h"
#include "overlay/drawingview.h"
#include "overlay/overlaycontentview.h"
#include "overlay/overlaymanager.h"
#include "overlay/overlaywindow.h"
#include "screenshot/screenshotpaths.h"
#include "screenshot/selectionmanager.h"
#include "screenshot/selectionview.h"
#include "screenshot/selectionwindow.h"
#include "settings/settingswindowcontroller.h"
#include "testsupport.h"

#include <QColorDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

namespace
{

QImage iconImage(const QIcon& icon)
{
    return icon.pixmap(QSize(32, 32)).toImage();
}

template <typename T> T* startingWith(const QList<T*>& items, const QString& prefix)
{
    for (T* item : items) {
        if (item->text().startsWith(prefix))
            return item;
    }
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
    Fake::Desktop m_fake; // its log also gets "status:<message>"
    std::unique_ptr<AppDelegate> m_app;
    const QString m_name = "截图_2025-03-04_09-05-07.png";

    QString dayFolder() const { return ScreenshotPaths::screenshotRoot() + "/2025-03-04"; }
    QStringList saved() const { return QDir(dayFolder()).entryList(QDir::Files | QDir::Hidden); }
    QWidget* toolbar()
    {
        return m_app->overlayManager().windows().front()->contentView()->toolbar();
    }

    // The pen opens once its stills have come, or failed to.
    void toggleAndWait()
    {
        m_app->toggleMarker();
        QVERIFY(QTest::qWaitFor([&] { return !m_app->overlayManager().isOpening(); }));
    }

    // What a user can do, by name, so test rows can list it.
    void perform(const QString& action)
    {
        OverlayManager& overlay = m_app->overlayManager();
        const QString target = action.section(' ', 1);
        if (action == "toggle") {
            m_app->toggleMarker();
        } else if (action == "Esc right") {
            QTest::keyClick(overlay.drawingViews().at(1), Qt::Key_Escape);
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

    // Starts a request and waits for the selection's views; empty when it ended at once.
    QList<QWidget*> openSelection()
    {
        m_app->captureScreenshot();
        const auto manager = [this] { return m_app->selectionManager(); };
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
        qputenv("HOME", m_home.path().toUtf8());
        qunsetenv("XDG_CONFIG_HOME");
        QVERIFY(TestSupport::isolateSettings());
        QCOMPARE(QGuiApplication::screens().size(), 2);
        // Otherwise every icon check below would pass whatever the tray shows.
        QVERIFY(iconImage(Icons::pen()) != iconImage(Icons::checkMark()));
    }

    void init()
    {
        TestSupport::clearSettings();
        QFile::remove(ScreenshotPaths::screenshotRoot());
        QDir(ScreenshotPaths::screenshotRoot()).removeRecursively();
        m_fake = {};
        m_app = std::make_unique<AppDelegate>(m_fake.platform());
        m_app->applicationDidFinishLaunching();
        m_app->statusLine().onMessage =
            [this, old = m_app->statusLine().onMessage](const QString& message) {
                old(message);
                m_fake.log << "status:" + message;
            };
    }

    // Destroyed with whatever is still open.
    void cleanup()
    {
        m_app.reset();
        QCOMPARE(windowsAlive<OverlayWindow>(), 0);
        QCOMPARE(windowsAlive<SelectionWindow>(), 0);
    }

    void menuLabelsAndReopen()
    {
        ControlWindow* window = m_app->controlWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(m_app->trayIcon()->contextMenu(), m_app->trayMenu());
        // Shown as stored, even where no such key exists.
        m_app->settings().setInteger(0, SettingsKeys::screenshotFunctionKey);
        m_app->settings().setInteger(13, SettingsKeys::markerFunctionKey);
        m_app->applyHotKeys();
        QStringList texts{window->shortcutLabel()->text()};
        for (const QAction* a : m_app->trayMenu()->actions())
            texts << (a->isSeparator() ? "—" : a->text());
        QCOMPARE(texts.join('|'), "框选截图：F0     开关画笔：F13|框选截图    F0|"
                                  "开关全屏画笔    F13|快捷键与画笔设置|打开截图文件夹|—|退出");
        // Closed or minimised, it comes back on re-open.
        for (const bool minimize : {false, true}) {
            if (minimize)
                window->showMinimized();
            else
                QVERIFY(window->close());
            QVERIFY(minimize ? window->isMinimized() : !window->isVisible());
            m_app->applicationShouldHandleReopen();
            QVERIFY(window->isVisible() && !window->isMinimized());
        }
    }

    // Every way in and out of the pen, and what the user then sees.
    void penActions_data()
    {
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QString>("outcome");
        const QString button = QStringLiteral("button 打开 / 退出红笔");
        const QString menu = QStringLiteral("menu 开关全屏画笔");
        QTest::newRow("toggle on") << QStringList{"toggle"} << "open";
        QTest::newRow("button, menu") << QStringList{button, menu} << "exited";
        QTest::newRow("Escape without toolbar") << QStringList{"toggle", "Esc right"} << "exited";
        QTest::newRow("right click") << QStringList{"toggle", "right click left"} << "exited";
        QTest::newRow("toolbar exit") << QStringList{"toggle", "toolbar 右键退出"} << "exited";
        // Settings close the pen without saying so.
        QTest::newRow("toolbar settings") << QStringList{"toggle", "toolbar 设置"} << "settings";
        QTest::newRow("settings button") << QStringList{menu, "button 修改画笔"} << "settings";
        QTest::newRow("settings menu")
            << QStringList{button, "menu 快捷键与画笔设置"} << "settings";
    }

    void penActions()
    {
        QFETCH(QStringList, actions);
        QFETCH(QString, outcome);
        const QString message = outcome == "exited" ? "已退出画笔" : "画笔已开启";
        for (const QString& action : actions)
            perform(action);
        QCOMPARE(m_app->overlayManager().isShowing(), outcome == "open");
        QCOMPARE(windowsAlive<OverlayWindow>(), outcome == "open" ? 2 : 0);
        QCOMPARE(m_app->settingsController() && m_app->settingsController()->window()->isVisible(),
                 outcome == "settings");
        QCOMPARE(m_app->controlWindow()->statusLabel()->text(), message);
        QCOMPARE(m_app->trayIcon()->toolTip(), message);
        QCOMPARE(iconImage(m_app->trayIcon()->icon()), iconImage(Icons::checkMark()));
    }

    // A letter on either display acts on every canvas; every opening starts afresh with pen 0.
    void canvasCommandsAndFreshOpenings()
    {
        m_app->statusLine().setMillisecondsPerSecond(1);
        m_app->settings().setColor(QColor(10, 120, 200), SettingsKeys::redColor);
        m_app->settings().setDouble(7.5, SettingsKeys::lineWidth);
        toggleAndWait();
        OverlayManager& overlay = m_app->overlayManager();
        // Each canvas as "colour width mode strokes", then the marked buttons, after a letter on
        // one of them.
        const auto after = [&](char key, std::size_t screen) {
            if (key)
                QTest::keyClick(overlay.drawingViews().at(screen), key);
            QStringList states;
            for (const DrawingView* v : overlay.drawingViews())
                states << QString("%1 %2 %3 %4")
                              .arg(v->currentColor().name(), QString::number(v->currentWidth()),
                                   v->mode() == DrawingMode::pen ? "pen" : "eraser",
                                   QString::number(v->strokes().size()));
            return states << marked(toolbar());
        };
        for (DrawingView* view : overlay.drawingViews())
            TestSupport::drawStroke(view, {QPointF(30, 30), QPointF(80, 60)});
        QCOMPARE(after('w', 0), QStringList(2, "#007aff 7.5 pen 1") << "● W");
        QCOMPARE(after('z', 1), QStringList(2, "#007aff 7.5 eraser 1") << "橡皮 Z");
        QCOMPARE(after('c', 1), QStringList(2, "#007aff 7.5 eraser 0") << "橡皮 Z");
        TestSupport::drawStroke(overlay.drawingViews().at(0), {QPointF(30, 30), QPointF(80, 60)});
        m_app->toggleMarker();
        toggleAndWait();
        QCOMPARE(after(0, 0), QStringList(2, "#0a78c8 7.5 pen 0") << "● Q");
        // The messages' reset brings back the idle text, tooltip and icon.
        QTRY_COMPARE(m_app->controlWindow()->statusLabel()->text(), QStringLiteral("准备就绪"));
        QCOMPARE(m_app->trayIcon()->toolTip(), QStringLiteral("Vellori截图与红笔"));
        QCOMPARE(iconImage(m_app->trayIcon()->icon()), iconImage(Icons::pen()));
    }

    // Qt's own colour picker in Chinese; an alert with room for its title and its reason.
    void chineseDialogsAndRoomyAlerts()
    {
        setUpApplication();
        QCOMPARE(QColorDialog().windowTitle(), QString("选择颜色"));
        QWidget window;
        window.show();
        const Alert alert{"设置无法保存",
                          "无法写入设置文件“/home/用户/.config/Vellori/vellori.conf”，"
                          "磁盘可能已满。"};
        MessageBoxAlerts().showSheet(&window, alert);
        auto* box = window.findChild<QMessageBox*>();
        QVERIFY(box && QTest::qWaitForWindowExposed(box));
        QCOMPARE(box->icon(), QMessageBox::Warning);
        QCOMPARE(box->text(), alert.messageText);
        QCOMPARE(box->informativeText(), alert.informativeText);
        QCOMPARE_GE(box->width(), 420);
    }

    // The name is chosen at the request; a second one in the same second gets a name of its own.
    void savesTheSelectedRegion()
    {
        QList<QWidget*> views = openSelection();
        QCOMPARE(views.size(), 2);
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);
        m_fake.now = m_fake.now.addSecs(5);
        TestSupport::drawStroke(views[1], {QPoint(10, 20), QPoint(310, 220)});
        QTRY_COMPARE(saved(), QStringList{m_name});
        QCOMPARE(m_fake.log,
                 (QStringList{"status:请拖拽选择截图区域", "status:已保存 " + m_name, "sound"}));
        QVERIFY(!QGuiApplication::overrideCursor());

        m_fake.now = m_fake.now.addSecs(-5);
        views = openSelection();
        QCOMPARE(m_fake.capturer->grabs, 2);
        TestSupport::drawStroke(views[0], {QPoint(100, 100), QPoint(140, 130)});
        QTRY_COMPARE(saved(), (QStringList{m_name, "截图_2025-03-04_09-05-07_02.png"}));
        QCOMPARE(QImage(dayFolder() + "/截图_2025-03-04_09-05-07_02.png").size(), QSize(40, 30));
    }

    // Cancelled, refused or failed: one message says so, and nothing is left behind.
    void endsWithoutAFile_data()
    {
        QTest::addColumn<QString>("last");
        QTest::newRow("right click") << "status:已取消截图";
        QTest::newRow("no display identifiers") << "status:已取消截图";
        QTest::newRow("refused") << "alert:需要重新确认屏幕录制权限|请在桌面设置中允许截图。";
        QTest::newRow("stills failed") << "alert:截图失败|无法读取屏幕内容。";
        QTest::newRow("no day folder") << "alert:截图失败|无法创建文件夹";
        QTest::newRow("folder gone") << "alert:截图失败|无法写入“" + m_name + "”";
    }

    void endsWithoutAFile()
    {
        QFETCH(QString, last);
        const QString how = QTest::currentDataTag();
        m_fake.capturer->refused = how == "refused";
        m_fake.capturer->refusalHint = "请在桌面设置中允许截图。";
        if (how == "stills failed")
            m_fake.capturer->failure = "无法读取屏幕内容。";
        m_fake.capturer->identifiers = how != "no display identifiers";
        QFile blocker(ScreenshotPaths::screenshotRoot()); // a file where the folder should be
        QVERIFY(how != "no day folder" ||
                (QDir().mkpath(m_home.filePath("Desktop")) && blocker.open(QIODevice::WriteOnly)));
        const QList<QWidget*> views = openSelection();
        if (how == "right click")
            QTest::mouseClick(views[1], Qt::RightButton);
        if (how == "folder gone") {
            QVERIFY(QDir(dayFolder()).removeRecursively());
            TestSupport::drawStroke(views[0], {QPoint(10, 10), QPoint(60, 60)});
        }
        QTRY_VERIFY(!m_app->isTakingScreenshot());
        QVERIFY2(m_fake.log.last().startsWith(last), qPrintable(m_fake.log.join('\n')));
        QCOMPARE(m_fake.log.filter("alert:").size(), int(last.startsWith("alert:")));
        QVERIFY(saved().isEmpty());
        QVERIFY(!m_app->selectionManager() && !QGuiApplication::overrideCursor());
        QCOMPARE(windowsAlive<SelectionWindow>(), 0);
    }

    // Over the pen its toolbar and the control window leave the stills, their area watched, and
    // the toolbar comes back under the selection; a second request is ignored. Whichever of our
    // full-screen layers stays open takes the keyboard back.
    void selectionAndPenHandOver()
    {
        toggleAndWait();
        QWidget* pen = QWidget::keyboardGrabber();
        QVERIFY(pen);
        const QRegion vacated = QRegion(m_app->controlWindow()->frameGeometry()) +
                                QRect(toolbar()->mapToGlobal(QPoint()), toolbar()->size());
        m_app->captureScreenshot();
        QVERIFY(!toolbar()->isVisible() && !m_app->controlWindow()->isVisible());
        QCOMPARE(m_fake.capturer->vacated, vacated);
        QList<QWidget*> views = openSelection();
        QCOMPARE(m_fake.capturer->grabs, 1);
        QVERIFY(toolbar()->isVisible());
        QCOMPARE(QWidget::keyboardGrabber(), views.last());
        QTest::keyClick(views[0], Qt::Key_Escape);
        QCOMPARE(QWidget::keyboardGrabber(), pen);

        m_app->toggleMarker();
        views = openSelection();
        toggleAndWait();
        pen = QWidget::keyboardGrabber();
        QVERIFY(pen && !views.contains(pen));
        QTest::keyClick(pen, Qt::Key_Escape);
        QVERIFY(!m_app->overlayManager().isShowing());
        QCOMPARE(QWidget::keyboardGrabber(), views.last());
    }

    // Without blending the pen opens on stills; toggled off before they come, it never opens.
    void penWaitsForItsStills()
    {
        m_fake.capturer->live = false;
        OverlayManager& overlay = m_app->overlayManager();
        for (int i = 0; i < 3; ++i)
            m_app->toggleMarker();
        QVERIFY(overlay.isOpening() && !overlay.isShowing());
        QTRY_VERIFY(overlay.isShowing());
        QCoreApplication::processEvents();
        QCOMPARE(windowsAlive<OverlayWindow>(), 2);
        QCOMPARE(overlay.windows().back()->grab().toImage().pixel(5, 5), QColor(Qt::magenta).rgb());
    }

    void folderThatCannotBeShownIsNamed()
    {
        m_fake.opensFolders = false;
        m_app->openScreenshotFolder();
        const QString root = ScreenshotPaths::screenshotRoot();
        QVERIFY(QFileInfo(root).isDir());
        QCOMPARE(m_fake.log, (QStringList{"open:" + root, "status:无法打开截图文件夹：" + root}));
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
