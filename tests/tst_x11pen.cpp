// The pen as the X server feeds it: motion events sent through XTest while the program is busy
// queue up, and each must still become a point of the stroke.

#include "app/applicationsetup.h"
#include "overlay/drawingview.h"
#include "overlay/overlaymanager.h"
#include "settings/settingsstore.h"
#include "testsupport.h"
#include "xcbsupport.h"

#include <QtTest>

class TestX11Pen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TestSupport::isolateSettings()); }

    void everyMotionEventIsAPoint()
    {
        setUpApplication();
        SettingsStore settings;
        OverlayManager overlay(settings);
        overlay.show({}, {});
        DrawingView* right = overlay.drawingViews().back();
        QVERIFY(QTest::qWaitForWindowExposed(right->window()));
        // xdotool sends as fast as it can and this process reads nothing meanwhile, so all 200
        // moves wait in the queue together.
        QString commands = "mousemove 1000 500 mousedown 1";
        for (int i = 1; i <= 200; ++i)
            commands += QString(" mousemove %1 %2").arg(1000 + 4 * i).arg(i % 2 ? 540 : 500);
        QVERIFY(XcbSupport::xdotool(commands + " mouseup 1"));
        QTRY_VERIFY(!right->strokes().isEmpty() && !right->activeStrokeIndex());
        QCOMPARE_GE(right->strokes().front().points.size(), 150);
        overlay.hide();
    }
};

QTEST_MAIN(TestX11Pen)
#include "tst_x11pen.moc"
