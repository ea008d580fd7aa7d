// The program as the user meets it: tray menu, control window, status messages and the pen
// overlay driven through the delegate.

#include "app/appdelegate.h"
#include "app/controlwindow.h"
#include "app/icons.h"
#include "overlay/drawingview.h"
#include "overlay/overlaycontentview.h"
#include "overlay/overlaymanager.h"
#include "overlay/overlaywindow.h"

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include <algorithm>

namespace
{

const QString idleTooltip = QStringLiteral("Vellori截图与红笔");
const QString exitMessage = QStringLiteral("已退出画笔");

QImage iconImage(const QIcon& icon)
{
    return icon.pixmap(QSize(32, 32)).toImage();
}

QStringList menuTitles(const QMenu* menu)
{
    QStringList titles;
    for (const QAction* a : menu->actions())
        titles << (a->isSeparator() ? QStringLiteral("—") : a->text());
    return titles;
}

QAction* menuAction(const QMenu* menu, const QString& prefix)
{
    for (QAction* a : menu->actions()) {
        if (!a->isSeparator() && a->text().startsWith(prefix))
            return a;
    }
    return nullptr;
}

QPushButton* buttonNamed(const QWidget* parent, const QString& prefix)
{
    for (QPushButton* b : parent->findChildren<QPushButton*>()) {
        if (b->text().startsWith(prefix))
            return b;
    }
    return nullptr;
}

void drawStroke(QWidget* w)
{
    const auto send = [w](QEvent::Type type, QPointF p, Qt::MouseButton b, Qt::MouseButtons bs) {
        QMouseEvent e(type, p, w->mapToGlobal(p), b, bs, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    };
    send(QEvent::MouseButtonPress, {30, 30}, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, {80, 60}, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, {80, 60}, Qt::LeftButton, Qt::NoButton);
}

bool settingsWindowShown()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::any_of(windows.begin(), windows.end(), [](const QWidget* w) {
        return w->isVisible() && w->windowTitle() == QStringLiteral("快捷键与画笔设置");
    });
}

int overlayWindowsAlive()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    int count = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        count += qobject_cast<OverlayWindow*>(w) != nullptr;
    return count;
}

// What a user can do to the running program, by name, so test rows can list it.
void perform(AppDelegate& app, const QString& action)
{
    OverlayManager& overlay = app.overlayManager();
    if (action == QStringLiteral("toggle")) {
        app.toggleMarker();
    } else if (action == QStringLiteral("Esc right")) {
        QTest::keyClick(overlay.drawingViews().at(1), Qt::Key_Escape);
    } else if (action == QStringLiteral("right click left")) {
        QTest::mouseClick(overlay.drawingViews().at(0), Qt::RightButton, {}, QPoint(500, 500));
    } else if (action.startsWith(QStringLiteral("toolbar "))) {
        QWidget* toolbar = overlay.windows().front()->contentView()->toolbar();
        QVERIFY2(toolbar, "no toolbar on the first display");
        QPushButton* b = buttonNamed(toolbar, action.mid(8));
        QVERIFY2(b, qPrintable(action));
        b->click();
    } else if (action.startsWith(QStringLiteral("menu "))) {
        QAction* a = menuAction(app.trayMenu(), action.mid(5));
        QVERIFY2(a, qPrintable(action));
        a->trigger();
    } else if (action.startsWith(QStringLiteral("button "))) {
        QPushButton* b = buttonNamed(app.controlWindow(), action.mid(7));
        QVERIFY2(b, qPrintable(action));
        QTest::mouseClick(b, Qt::LeftButton);
    } else {
        QFAIL(qPrintable("unknown action " + action));
    }
}

} // namespace

class TestAppShell : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCOMPARE(QGuiApplication::screens().size(), 2);
        // Otherwise every icon check below would pass whatever the tray shows.
        QVERIFY(iconImage(Icons::pen()) != iconImage(Icons::checkMark()));
    }

    void init()
    {
        QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori");
        raw.clear();
        raw.sync();
    }

    void cleanup() { QCOMPARE(overlayWindowsAlive(), 0); }

    void shortcutTexts_data()
    {
        QTest::addColumn<int>("screenshotKey"); // -1: not stored
        QTest::addColumn<int>("markerKey");
        QTest::addColumn<bool>("storedAfterLaunch");
        QTest::addColumn<QStringList>("shown"); // screenshot key, marker key
        QTest::newRow("defaults") << -1 << -1 << false << QStringList{"F9", "F8"};
        QTest::newRow("stored 5 and 13") << 5 << 13 << false << QStringList{"F5", "F13"};
        QTest::newRow("stored 0 shown as stored") << 0 << 0 << false << QStringList{"F0", "F0"};
        QTest::newRow("changed to 13 and 5, refreshed")
            << 13 << 5 << true << QStringList{"F13", "F5"};
        QTest::newRow("changed to 0, refreshed") << 0 << 12 << true << QStringList{"F0", "F12"};
    }

    void shortcutTexts()
    {
        QFETCH(int, screenshotKey);
        QFETCH(int, markerKey);
        QFETCH(bool, storedAfterLaunch);
        QFETCH(QStringList, shown);
        AppDelegate app;
        const auto store = [&] {
            if (screenshotKey >= 0)
                app.settings().setInteger(screenshotKey, SettingsKeys::screenshotFunctionKey);
            if (markerKey >= 0)
                app.settings().setInteger(markerKey, SettingsKeys::markerFunctionKey);
        };
        if (!storedAfterLaunch)
            store();
        app.applicationDidFinishLaunching();
        if (storedAfterLaunch) {
            store();
            app.refreshShortcutLabels();
        }

        const QStringList expected{"框选截图    " + shown[0],
                                   "开关全屏画笔    " + shown[1],
                                   "快捷键与画笔设置",
                                   "打开截图文件夹",
                                   "—",
                                   "退出"};
        QCOMPARE(menuTitles(app.trayMenu()), expected);
        QCOMPARE(app.trayIcon()->contextMenu(), app.trayMenu());
        QCOMPARE(app.controlWindow()->shortcutLabel()->text(),
                 "框选截图：" + shown[0] + "     开关画笔：" + shown[1]);
    }

    void controlWindowLayout()
    {
        ControlWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Vellori截图与红笔"));
        QCOMPARE(window.size(), QSize(480, 390));
        QCOMPARE(window.minimumSize(), window.maximumSize());

        struct Element {
            QString texts;
            int height; // 0: whatever the text needs
        };
        const QList<Element> expected{
            {"Vellori截图与红笔", 0},
            {"框选截图，或在任意软件上方直接批注。", 0},
            {"", 48},
            {"打开 / 退出红笔|修改画笔", 44},
            {"拖拽框选截图|打开截图文件夹", 40},
            {"准备就绪", 0},
            {"画笔内：Q/W/E 三色笔 · Z 橡皮 · C 清屏 · 鼠标右键退出", 0},
        };
        QList<QWidget*> elements;
        for (int i = 0; i < window.layout()->count(); ++i) {
            if (QWidget* w = window.layout()->itemAt(i)->widget())
                elements << w;
        }
        QCOMPARE(elements.size(), expected.size());
        QCOMPARE(elements[2]->findChild<QLabel*>(), window.shortcutLabel());
        QCOMPARE(elements[5], window.statusLabel());

        int top = 28;
        for (qsizetype i = 0; i < elements.size(); ++i) {
            QWidget* w = elements[i];
            QString texts;
            if (auto* label = qobject_cast<QLabel*>(w)) {
                texts = label->text();
            } else {
                QList<QPushButton*> buttons = w->findChildren<QPushButton*>();
                std::sort(buttons.begin(), buttons.end(),
                          [](auto* a, auto* b) { return a->x() < b->x(); });
                QStringList titles;
                for (QPushButton* b : buttons)
                    titles << b->text();
                texts = titles.join('|');
            }
            QCOMPARE(texts, expected[i].texts);
            const QRect g = w->geometry();
            QCOMPARE(g.top(), top);
            QCOMPARE(g.left(), 32);
            QCOMPARE(g.width(), 480 - 2 * 32);
            if (expected[i].height)
                QCOMPARE(g.height(), expected[i].height);
            top = g.bottom() + 1 + 15;
        }
        QVERIFY(top - 15 <= 390);
    }

    // Every way in and out of the pen, and what the user then sees.
    void actions_data()
    {
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("overlayOpen");
        QTest::addColumn<bool>("settingsShown");
        const QString on = QStringLiteral("画笔已开启");
        const QString button = QStringLiteral("button 打开 / 退出红笔");
        const QString menu = QStringLiteral("menu 开关全屏画笔");
        QTest::newRow("launch") << QStringList{} << "已启动" << false << false;
        QTest::newRow("toggle on") << QStringList{"toggle"} << on << true << false;
        QTest::newRow("toggle off")
            << QStringList{"toggle", "toggle"} << exitMessage << false << false;
        QTest::newRow("button once") << QStringList{button} << on << true << false;
        QTest::newRow("button twice")
            << QStringList{button, button} << exitMessage << false << false;
        QTest::newRow("menu once") << QStringList{menu} << on << true << false;
        QTest::newRow("menu twice") << QStringList{menu, menu} << exitMessage << false << false;
        QTest::newRow("Escape on the display without toolbar")
            << QStringList{"toggle", "Esc right"} << exitMessage << false << false;
        QTest::newRow("right click")
            << QStringList{"toggle", "right click left"} << exitMessage << false << false;
        QTest::newRow("toolbar exit")
            << QStringList{"toggle", "toolbar 右键退出"} << exitMessage << false << false;
        // Settings close the pen without saying so.
        QTest::newRow("toolbar settings")
            << QStringList{"toggle", "toolbar 设置"} << on << false << true;
        QTest::newRow("settings button")
            << QStringList{button, "button 修改画笔"} << on << false << true;
        QTest::newRow("settings menu")
            << QStringList{menu, "menu 快捷键与画笔设置"} << on << false << true;
    }

    void actions()
    {
        QFETCH(QStringList, actions);
        QFETCH(QString, message);
        QFETCH(bool, overlayOpen);
        QFETCH(bool, settingsShown);
        AppDelegate app;
        app.applicationDidFinishLaunching();
        QVERIFY(app.controlWindow()->isVisible());
        QVERIFY(app.trayIcon()->isVisible());
        for (const QString& action : actions) {
            perform(app, action);
            if (QTest::currentTestFailed())
                return;
        }

        QCOMPARE(app.overlayManager().isShowing(), overlayOpen);
        QCOMPARE(overlayWindowsAlive(), overlayOpen ? 2 : 0);
        QCOMPARE(settingsWindowShown(), settingsShown);
        QCOMPARE(app.statusLine().text(), message);
        QCOMPARE(app.statusLine().resetTimer().interval(), 2000);
        QCOMPARE(app.controlWindow()->statusLabel()->text(), message);
        QCOMPARE(app.trayIcon()->toolTip(), message);
        QCOMPARE(iconImage(app.trayIcon()->icon()), iconImage(Icons::checkMark()));
    }

    void idleRestoresLabelTooltipAndIcon_data()
    {
        QTest::addColumn<QStringList>("actions");
        QTest::newRow("after launch") << QStringList{};
        QTest::newRow("after toggle on") << QStringList{"toggle"};
        QTest::newRow("after toggle off") << QStringList{"toggle", "toggle"};
    }

    void idleRestoresLabelTooltipAndIcon()
    {
        QFETCH(QStringList, actions);
        AppDelegate app;
        app.statusLine().setMillisecondsPerSecond(1);
        app.applicationDidFinishLaunching();
        for (const QString& action : actions) {
            perform(app, action);
            if (QTest::currentTestFailed())
                return;
        }
        QVERIFY(!app.statusLine().isIdle());

        QTRY_COMPARE(app.controlWindow()->statusLabel()->text(), QStringLiteral("准备就绪"));
        QCOMPARE(app.statusLine().text(), QStringLiteral("准备就绪"));
        QCOMPARE(app.trayIcon()->toolTip(), idleTooltip);
        QCOMPARE(iconImage(app.trayIcon()->icon()), iconImage(Icons::pen()));
    }

    void everyOpeningStartsFresh_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("after pen 2") << "e";
        QTest::newRow("after pen 1") << "w";
        QTest::newRow("after the eraser") << "z";
    }

    void everyOpeningStartsFresh()
    {
        QFETCH(QString, key);
        AppDelegate app;
        const QColor stored(10, 120, 200);
        app.settings().setColor(stored, SettingsKeys::redColor);
        app.settings().setDouble(7.5, SettingsKeys::lineWidth);
        app.applicationDidFinishLaunching();
        app.toggleMarker();
        OverlayManager& overlay = app.overlayManager();
        for (DrawingView* view : overlay.drawingViews())
            drawStroke(view);
        QTest::keyClick(overlay.drawingViews().at(0), key.at(0).toLatin1());
        QVERIFY(overlay.drawingViews().at(1)->currentColor() != stored ||
                overlay.drawingViews().at(1)->mode() != DrawingMode::pen);

        app.toggleMarker();
        app.toggleMarker();

        QCOMPARE(overlay.drawingViews().size(), std::size_t(2));
        for (DrawingView* view : overlay.drawingViews()) {
            QVERIFY(view->strokes().isEmpty());
            QCOMPARE(view->currentColor(), stored);
            QCOMPARE(view->currentWidth(), 7.5);
            QVERIFY(view->mode() == DrawingMode::pen);
        }
    }

    void controlWindowComesBack_data()
    {
        QTest::addColumn<bool>("minimize");
        QTest::newRow("closed") << false;
        QTest::newRow("minimized") << true;
    }

    void controlWindowComesBack()
    {
        QFETCH(bool, minimize);
        AppDelegate app;
        app.applicationDidFinishLaunching();
        ControlWindow* window = app.controlWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        if (minimize) {
            window->showMinimized();
            QVERIFY(window->isMinimized());
        } else {
            QVERIFY(window->close());
            QVERIFY(!window->isVisible());
            QCOMPARE(app.controlWindow(), window);
        }

        app.applicationShouldHandleReopen();
        QVERIFY(window->isVisible());
        QVERIFY(!window->isMinimized());
        QVERIFY(QTest::qWaitForWindowExposed(window));
    }

    void quitClosesTheOverlayFirst()
    {
        AppDelegate app;
        app.applicationDidFinishLaunching();
        app.toggleMarker();
        QCOMPARE(overlayWindowsAlive(), 2);

        QTimer::singleShot(0, &app, &AppDelegate::quit);
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        guard.start(5000);
        QCOMPARE(QCoreApplication::exec(), 0);

        QVERIFY(!app.overlayManager().isShowing());
        QCOMPARE(overlayWindowsAlive(), 0);
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
