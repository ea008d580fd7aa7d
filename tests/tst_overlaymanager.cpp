// The overlay as a whole: one window per display, and commands that act on every canvas.

#include "overlay/drawingview.h"
#include "overlay/overlaycontentview.h"
#include "overlay/overlaymanager.h"
#include "overlay/overlaywindow.h"
#include "settings/settingsstore.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

namespace
{

void sendMouse(QWidget* w, QEvent::Type type, QPointF pos, Qt::MouseButton button,
               Qt::MouseButtons buttons)
{
    QMouseEvent e(type, pos, w->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void drawStroke(QWidget* w)
{
    sendMouse(w, QEvent::MouseButtonPress, {40, 40}, Qt::LeftButton, Qt::LeftButton);
    sendMouse(w, QEvent::MouseMove, {90, 70}, Qt::NoButton, Qt::LeftButton);
    sendMouse(w, QEvent::MouseButtonRelease, {90, 70}, Qt::LeftButton, Qt::NoButton);
}

QPushButton* toolbarButton(const OverlayManager& overlay, const QString& title)
{
    QWidget* toolbar = overlay.windows().front()->contentView()->toolbar();
    if (!toolbar)
        return nullptr;
    for (QPushButton* b : toolbar->findChildren<QPushButton*>()) {
        if (b->text().startsWith(title))
            return b;
    }
    return nullptr;
}

// A letter on one display's canvas, or a click on a toolbar button.
void act(const OverlayManager& overlay, int screen, const QString& input)
{
    if (input.size() == 1)
        QTest::keyClick(overlay.drawingViews().at(std::size_t(screen)), input.at(0).toLatin1());
    else if (QPushButton* b = toolbarButton(overlay, input))
        b->click();
    else
        QFAIL(qPrintable("no toolbar button " + input));
}

int overlayWindowsAlive()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    int count = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        count += qobject_cast<OverlayWindow*>(w) != nullptr;
    return count;
}

} // namespace

class TestOverlayManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCOMPARE(QGuiApplication::screens().size(), 2);
    }

    void init()
    {
        QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori");
        raw.clear();
        raw.sync();
    }

    void oneWindowPerDisplayToolbarOnFirst()
    {
        SettingsStore settings;
        OverlayManager overlay(settings);
        overlay.show({}, {});
        const auto windows = overlay.windows();
        overlay.show({}, {});
        QVERIFY(overlay.windows() == windows);

        const QList<QScreen*> screens = QGuiApplication::screens();
        QCOMPARE(windows.size(), std::size_t(screens.size()));
        QCOMPARE(overlayWindowsAlive(), screens.size());
        for (qsizetype i = 0; i < screens.size(); ++i) {
            OverlayWindow* w = windows[std::size_t(i)];
            QVERIFY(w->isVisible());
            QCOMPARE(w->targetScreen(), screens[i]);
            QCOMPARE(w->geometry(), screens[i]->geometry());
            QCOMPARE(overlay.drawingViews()[std::size_t(i)], w->contentView()->drawingView());
            QCOMPARE(w->contentView()->toolbar() != nullptr, i == 0);
        }
        QVERIFY(windows.front()->contentView()->toolbar()->isVisible());
    }

    void commandsActOnEveryCanvas_data()
    {
        QTest::addColumn<int>("screen");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QColor>("color");
        QTest::addColumn<DrawingMode>("mode");
        QTest::addColumn<int>("strokesLeft");
        const QColor red = SettingsDefaults::systemRed;
        QTest::newRow("pen 1 from the left")
            << 0 << "w" << SettingsDefaults::systemBlue << DrawingMode::pen << 1;
        QTest::newRow("pen 2 from the right")
            << 1 << "e" << SettingsDefaults::systemGreen << DrawingMode::pen << 1;
        QTest::newRow("eraser from the right") << 1 << "z" << red << DrawingMode::eraser << 1;
        QTest::newRow("clear from the left") << 0 << "c" << red << DrawingMode::pen << 0;
        QTest::newRow("clear from the right") << 1 << "c" << red << DrawingMode::pen << 0;
        QTest::newRow("toolbar clear") << 0 << "清屏" << red << DrawingMode::pen << 0;
        QTest::newRow("toolbar eraser") << 0 << "橡皮" << red << DrawingMode::eraser << 1;
    }

    void commandsActOnEveryCanvas()
    {
        QFETCH(int, screen);
        QFETCH(QString, input);
        QFETCH(QColor, color);
        QFETCH(DrawingMode, mode);
        QFETCH(int, strokesLeft);
        SettingsStore settings;
        OverlayManager overlay(settings);
        overlay.show({}, {});
        for (DrawingView* view : overlay.drawingViews()) {
            drawStroke(view);
            QCOMPARE(view->strokes().size(), 1);
        }

        act(overlay, screen, input);

        QVERIFY(overlay.isShowing());
        for (DrawingView* view : overlay.drawingViews()) {
            QCOMPARE(view->currentColor(), color);
            QCOMPARE(view->mode(), mode);
            QCOMPARE(view->strokes().size(), strokesLeft);
        }
    }
};

QTEST_MAIN(TestOverlayManager)
#include "tst_overlaymanager.moc"
