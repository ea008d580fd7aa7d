// What goes wrong around the program after hours of use, in this process on the offscreen
// platform.

#include "overlay/drawingview.h"
#include "overlay/overlaymanager.h"
#include "settings/settingsstore.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPixmapCache>
#include <QStandardPaths>
#include <QtTest>

#include <malloc.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELLORI_ASAN
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELLORI_ASAN
#endif

namespace
{

#ifdef VELLORI_ASAN
// The sanitizer's allocator stands in for malloc's and keeps its own count.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
std::size_t heapInUse()
{
    return __sanitizer_get_current_allocated_bytes();
}
#else
std::size_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}
#endif

void settle()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void send(QWidget* w, QEvent::Type type, QPointF p, Qt::MouseButton button, Qt::MouseButtons held)
{
    QMouseEvent event(type, p, w->mapToGlobal(p), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

void stroke(QWidget* w, int i)
{
    const QPointF p(20 + i % 1800, 20 + i / 1800 * 100);
    send(w, QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton);
    for (int step = 1; step <= 4; ++step)
        send(w, QEvent::MouseMove, p + QPointF(step * 10, step * 5), Qt::NoButton, Qt::LeftButton);
    send(w, QEvent::MouseButtonRelease, p + QPointF(40, 20), Qt::LeftButton, Qt::NoButton);
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // The bounds sit well below what one leaked window per opening, or a kept stroke list, adds.
    void longUseDoesNotGrowMemory()
    {
        // Offscreen has no raise or keyboard grab and says so each time; QtTest would count.
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
        // Fusion caches button images per palette, and every opening makes new palettes; the
        // cache's own limit bounds that, and its key table is swept on a 30 s timer.
        QPixmapCache::setCacheLimit(0);
        SettingsStore settings;
        OverlayManager overlay(settings);
        const auto toggle = [&] {
            overlay.show({}, {});
            settle();
            overlay.hide();
            settle();
        };
        for (int i = 0; i < 100; ++i)
            toggle();
        std::size_t baseline = heapInUse();
        for (int i = 0; i < 1000; ++i)
            toggle();
        QVERIFY2(heapInUse() < baseline + 64 * 1024,
                 qPrintable(QString("%1 bytes more").arg(qint64(heapInUse() - baseline))));

        overlay.show({}, {});
        DrawingView* canvas = overlay.drawingViews().front();
        for (int i = 0; i < 100; ++i)
            stroke(canvas, i);
        overlay.clearAll();
        settle();
        baseline = heapInUse();
        for (int i = 0; i < 10000; ++i)
            stroke(canvas, i);
        settle();
        QVERIFY(heapInUse() > baseline + 10000 * sizeof(Stroke));
        overlay.clearAll();
        settle();
        QVERIFY2(heapInUse() < baseline + 64 * 1024,
                 qPrintable(QString("%1 bytes more").arg(qint64(heapInUse() - baseline))));
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
