// The program as the user meets it: tray menu, control window, status messages and the pen
// overlay driven through the delegate.

#include "app/appdelegate.h"
#include "app/applicationsetup.h"
#include "app/controlwindow.h"
#include "app/icons.h"
#include "desktop/alerts.h"
#include "fakeplatform.h"
#include "overlay/drawingview.h"
#include "overlay/overlaycontentview.h"
#include "overlay/overlaymanager.h"
#include "overlay/overlaywindow.h"
#include "settings/settingswindowcontroller.h"
#include "testsupport.h"

#include <QColorDialog>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

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

// The shortcut label, then the tray menu's titles.
QString shortcutTexts(const AppDelegate& app)
{
    QStringList texts{app.controlWindow()->shortcutLabel()->text()};
    for (const QAction* a : app.trayMenu()->actions())
        texts << (a->isSeparator() ? "—" : a->text());
    return texts.join('|');
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

int overlayWindowsAlive()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const QWidgetList all = QApplication::topLevelWidgets();
    return int(std::count_if(all.begin(), all.end(),
                             [](QWidget* w) { return qobject_cast<OverlayWindow*>(w); }));
}

// The pen opens once its stills have come, or failed to: offscreen there are none.
void toggleAndWait(AppDelegate& app)
{
    app.toggleMarker();
    QVERIFY(QTest::qWaitFor([&] { return !app.overlayManager().isOpening(); }));
}

// What a user can do to the running program, by name, so test rows can list it.
void perform(AppDelegate& app, const QString& action)
{
    OverlayManager& overlay = app.overlayManager();
    const QString target = action.section(' ', 1);
    if (action == "toggle") {
        app.toggleMarker();
    } else if (action == "Esc right") {
        QTest::keyClick(overlay.drawingViews().at(1), Qt::Key_Escape);
    } else if (action == "right click left") {
        QTest::mouseClick(overlay.drawingViews().at(0), Qt::RightButton, {}, QPoint(500, 500));
    } else if (action.startsWith("menu ")) {
        startingWith(app.trayMenu()->actions(), target)->trigger();
    } else {
        QWidget* panel = action.startsWith("toolbar ")
                             ? overlay.windows().front()->contentView()->toolbar()
                             : app.controlWindow();
        QTest::mouseClick(startingWith(panel->findChildren<QPushButton*>(), target),
                          Qt::LeftButton);
    }
    QVERIFY(QTest::qWaitFor([&] { return !overlay.isOpening(); }));
}

} // namespace

class TestAppShell : public QObject
{
    Q_OBJECT

    // Hot keys that are granted: offscreen, the real backend refuses them.
    Fake::Desktop m_desktop;

private slots:
    void initTestCase()
    {
        QVERIFY(TestSupport::isolateSettings());
        QCOMPARE(QGuiApplication::screens().size(), 2);
        // Otherwise every icon check below would pass whatever the tray shows.
        QVERIFY(iconImage(Icons::pen()) != iconImage(Icons::checkMark()));
    }

    void init() { TestSupport::clearSettings(); }

    void cleanup() { QCOMPARE(overlayWindowsAlive(), 0); }

    void controlWindowAndMenu()
    {
        AppDelegate app(m_desktop.platform());
        app.applicationDidFinishLaunching();
        ControlWindow* window = app.controlWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->windowTitle(), QStringLiteral("Vellori截图与红笔"));
        QCOMPARE(window->size(), QSize(480, 390));
        QCOMPARE(window->minimumSize(), window->maximumSize());
        // Top to bottom: a label's text, or a row's height and its texts left to right.
        QStringList rows;
        for (int i = 0; i < window->layout()->count(); ++i) {
            QWidget* row = window->layout()->itemAt(i)->widget();
            if (!row)
                continue; // spacing
            QWidgetList parts = row->findChildren<QWidget*>();
            std::sort(parts.begin(), parts.end(), [](auto* a, auto* b) { return a->x() < b->x(); });
            QStringList texts{parts.isEmpty() ? row->property("text").toString()
                                              : QString::number(row->height())};
            for (const QWidget* part : parts)
                texts << part->property("text").toString();
            rows << texts.join('|');
        }
        QCOMPARE(rows,
                 (QStringList{"Vellori截图与红笔", "框选截图，或在任意软件上方直接批注。",
                              "48|框选截图：F9     开关画笔：F8", "44|打开 / 退出红笔|修改画笔",
                              "40|拖拽框选截图|打开截图文件夹", "已启动",
                              "画笔内：Q/W/E 三色笔 · Z 橡皮 · C 清屏 · 鼠标右键退出"}));
        QCOMPARE(app.trayIcon()->contextMenu(), app.trayMenu());
        QCOMPARE(shortcutTexts(app), "框选截图：F9     开关画笔：F8|框选截图    F9|"
                                     "开关全屏画笔    F8|快捷键与画笔设置|打开截图文件夹|—|退出");
        // Shown as stored, even where no such key exists.
        app.settings().setInteger(0, SettingsKeys::screenshotFunctionKey);
        app.settings().setInteger(13, SettingsKeys::markerFunctionKey);
        app.refreshShortcutLabels();
        QCOMPARE(shortcutTexts(app), "框选截图：F0     开关画笔：F13|框选截图    F0|"
                                     "开关全屏画笔    F13|快捷键与画笔设置|打开截图文件夹|—|退出");

        // Closed or minimised, it comes back on re-open.
        for (const bool minimize : {false, true}) {
            if (minimize)
                window->showMinimized();
            else
                QVERIFY(window->close());
            QVERIFY(minimize ? window->isMinimized() : !window->isVisible());
            app.applicationShouldHandleReopen();
            QCOMPARE(app.controlWindow(), window);
            QVERIFY(window->isVisible() && !window->isMinimized());
        }
    }

    // Every way in and out of the pen, and what the user then sees.
    void actions_data()
    {
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QString>("outcome");
        const QString button = QStringLiteral("button 打开 / 退出红笔");
        const QString menu = QStringLiteral("menu 开关全屏画笔");
        QTest::newRow("toggle on") << QStringList{"toggle"} << "open";
        QTest::newRow("toggle off") << QStringList{"toggle", "toggle"} << "exited";
        QTest::newRow("button twice") << QStringList{button, button} << "exited";
        QTest::newRow("menu twice") << QStringList{menu, menu} << "exited";
        QTest::newRow("Escape without toolbar") << QStringList{"toggle", "Esc right"} << "exited";
        QTest::newRow("right click") << QStringList{"toggle", "right click left"} << "exited";
        QTest::newRow("toolbar exit") << QStringList{"toggle", "toolbar 右键退出"} << "exited";
        // Settings close the pen without saying so.
        QTest::newRow("toolbar settings") << QStringList{"toggle", "toolbar 设置"} << "settings";
        QTest::newRow("settings button") << QStringList{button, "button 修改画笔"} << "settings";
        QTest::newRow("settings menu") << QStringList{menu, "menu 快捷键与画笔设置"} << "settings";
    }

    void actions()
    {
        QFETCH(QStringList, actions);
        QFETCH(QString, outcome);
        const QString message = outcome == "exited" ? "已退出画笔" : "画笔已开启";
        AppDelegate app(m_desktop.platform());
        app.applicationDidFinishLaunching();
        QVERIFY(app.controlWindow()->isVisible() && app.trayIcon()->isVisible());
        for (const QString& action : actions)
            perform(app, action);

        QCOMPARE(app.overlayManager().isShowing(), outcome == "open");
        QCOMPARE(overlayWindowsAlive(), outcome == "open" ? 2 : 0);
        QCOMPARE(app.settingsController() && app.settingsController()->window()->isVisible(),
                 outcome == "settings");
        QCOMPARE(app.statusLine().text(), message);
        QCOMPARE(app.controlWindow()->statusLabel()->text(), message);
        QCOMPARE(app.trayIcon()->toolTip(), message);
        QCOMPARE(iconImage(app.trayIcon()->icon()), iconImage(Icons::checkMark()));
    }

    // A letter on either display acts on every canvas; every opening starts afresh with pen 0.
    void canvasCommandsAndFreshOpenings()
    {
        AppDelegate app(m_desktop.platform());
        app.statusLine().setMillisecondsPerSecond(1);
        app.settings().setColor(QColor(10, 120, 200), SettingsKeys::redColor);
        app.settings().setDouble(7.5, SettingsKeys::lineWidth);
        app.applicationDidFinishLaunching();
        toggleAndWait(app);
        OverlayManager& overlay = app.overlayManager();
        for (DrawingView* view : overlay.drawingViews())
            TestSupport::drawStroke(view, {QPointF(30, 30), QPointF(80, 60)});
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
            return states << marked(overlay.windows().front()->contentView()->toolbar());
        };
        QCOMPARE(after('w', 0), QStringList(2, "#007aff 7.5 pen 1") << "● W");
        QCOMPARE(after('e', 1), QStringList(2, "#34c759 7.5 pen 1") << "● E");
        QCOMPARE(after('c', 1), QStringList(2, "#34c759 7.5 pen 0") << "● E");
        for (DrawingView* view : overlay.drawingViews())
            TestSupport::drawStroke(view, {QPointF(30, 30), QPointF(80, 60)});
        QCOMPARE(after('z', 1), QStringList(2, "#34c759 7.5 eraser 1") << "橡皮 Z");
        QCOMPARE(after('q', 0), QStringList(2, "#0a78c8 7.5 pen 1") << "● Q");
        QCOMPARE(after('z', 0), QStringList(2, "#0a78c8 7.5 eraser 1") << "橡皮 Z");

        app.toggleMarker();
        toggleAndWait(app);
        QCOMPARE(after(0, 0), QStringList(2, "#0a78c8 7.5 pen 0") << "● Q");
        const QList<QScreen*> screens = QGuiApplication::screens();
        const std::vector<OverlayWindow*> windows = overlay.windows();
        for (std::size_t i = 0; i < windows.size(); ++i) {
            QVERIFY(windows[i]->isVisible());
            QCOMPARE(windows[i]->geometry(), screens[qsizetype(i)]->geometry());
            const QWidget* toolbar = windows[i]->contentView()->toolbar();
            QCOMPARE(toolbar && toolbar->isVisible(), i == 0);
            QCOMPARE(overlay.drawingViews().at(i), windows[i]->contentView()->drawingView());
        }

        // The messages' reset brings back the idle text, tooltip and icon.
        QTRY_COMPARE(app.controlWindow()->statusLabel()->text(), QStringLiteral("准备就绪"));
        QCOMPARE(app.trayIcon()->toolTip(), QStringLiteral("Vellori截图与红笔"));
        QCOMPARE(iconImage(app.trayIcon()->icon()), iconImage(Icons::pen()));
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

    void quitClosesTheOverlayFirst()
    {
        AppDelegate app(m_desktop.platform());
        app.applicationDidFinishLaunching();
        toggleAndWait(app);
        QCOMPARE(overlayWindowsAlive(), 2);
        QTimer::singleShot(0, &app, &AppDelegate::quit);
        QTimer::singleShot(5000, &app, [] { QCoreApplication::exit(1); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!app.overlayManager().isShowing());
        QCOMPARE(overlayWindowsAlive(), 0);
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
