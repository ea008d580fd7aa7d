// Checks the X server that scripts/test.sh prepares for the X11 tests. When one
// of those tests fails, this one says whether the code or the desktop is at fault.

#include "xcbsupport.h"

#include <QGuiApplication>
#include <QScreen>
#include <QtTest>

class TestX11Environment : public QObject
{
    Q_OBJECT

private slots:
    void screens()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QList<QRect> rects;
        for (QScreen* screen : QGuiApplication::screens()) {
            rects << screen->geometry();
            QCOMPARE(screen->devicePixelRatio(), 1.0);
        }
        std::sort(rects.begin(), rects.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
        QCOMPARE(rects, (QList<QRect>{{0, 0, 960, 1080}, {960, 0, 960, 1080}}));
    }

    // A selection is let go when its owner's connection ends, so an owner is a live program.
    void selectionOwners()
    {
        for (const char* selection : {"WM_S0", "_NET_WM_CM_S0", "_NET_SYSTEM_TRAY_S0"})
            QVERIFY2(XcbSupport::selectionOwner(selection) != XCB_WINDOW_NONE, selection);
    }
};

QTEST_MAIN(TestX11Environment)
#include "tst_x11environment.moc"
