// Not a test: times the repaint that follows one drag step on a 3840x2160 canvas holding 100,
// 1,000 and 10,000 finished strokes, freehand and of a rectangle (Control held) growing across
// the canvas, next to painting every stroke afresh, and undoing and redoing the last stroke with
// their repaints. Finished strokes live in the canvas's layer, so none should grow much with
// their number.
//
//   QT_QPA_PLATFORM=offscreen build/bench/bench_canvas

#include "overlay/drawingview.h"
#include "settings/settingsstore.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace
{

constexpr QSize kCanvas(3840, 2160);
constexpr int kPointsPerStroke = 100;
constexpr int kRepetitions = 50;
constexpr double kPenWidth = 4.0;

void sendMouse(QWidget* w, QEvent::Type type, QPointF p, Qt::MouseButton button,
               Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QMouseEvent e(type, p, w->mapToGlobal(p), button, buttons, modifiers);
    QApplication::sendEvent(w, &e);
}

// Random walks from points spread over the whole canvas; the same every run.
void drawStrokes(DrawingView& view, int count)
{
    QRandomGenerator random(1234);
    const auto bounded = [&](double low, double high) { return low + random.bounded(high - low); };
    for (int i = 0; i < count; ++i) {
        QPointF p(bounded(0, kCanvas.width()), bounded(0, kCanvas.height()));
        sendMouse(&view, QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton);
        for (int k = 1; k < kPointsPerStroke; ++k) {
            p += QPointF(bounded(-12, 12), bounded(-12, 12));
            sendMouse(&view, QEvent::MouseMove, p, Qt::NoButton, Qt::LeftButton);
        }
        sendMouse(&view, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
    }
}

class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// Milliseconds of this thread's processor time, which all painting here runs on: other
// programs on a busy machine take turns on the processor without adding to it.
double cpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Milliseconds to paint every stroke into a fresh canvas-sized image, as a canvas without the
// layer would on each repaint.
double paintEveryStroke(const QList<Stroke>& strokes)
{
    const double start = cpuMs();
    QImage image(kCanvas, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    for (const Stroke& s : strokes)
        paintStroke(painter, s);
    painter.end();
    return cpuMs() - start;
}

struct Timings {
    double drag = -1; // ms, -1 when a drag step, undo or redo was not followed by a paint
    double shape = -1;
    double undo = -1;
    double redo = -1;
    double everyStroke = 0;
};

// Each figure is the median over kRepetitions of: one drag event, undo or redo, then its repaint
// done.
Timings measure(int strokeCount)
{
    SettingsStore settings;
    DrawingView view(settings);
    view.resize(kCanvas);
    view.applyPen(SettingsDefaults::systemRed, kPenWidth);
    StrokeEdits last;
    view.onEdited = [&last](const StrokeEdits& edits) { last = edits; };
    // Drawn while hidden so the strokes' own repaints do not pile up; every one is baked.
    drawStrokes(view, strokeCount);
    Timings t;
    t.everyStroke = paintEveryStroke(view.strokes());

    PaintCounter counter;
    view.installEventFilter(&counter);
    view.show();
    QCoreApplication::processEvents();
    if (counter.paints == 0)
        return t;

    std::vector<double> undos, redos;
    for (int i = -5; i < kRepetitions; ++i) {
        for (const bool undo : {true, false}) {
            const int before = counter.paints;
            const double start = cpuMs();
            view.applyEdits(last, undo);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
            const double ms = cpuMs() - start;
            if (counter.paints == before)
                return t;
            if (i >= 0)
                (undo ? undos : redos).push_back(ms);
        }
    }

    // The median time of a drag's steps and their repaints; -1 when a step was not painted.
    const auto dragSteps = [&](QPointF p, QPointF odd, QPointF even,
                               Qt::KeyboardModifiers modifiers) {
        sendMouse(&view, QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton, modifiers);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
        std::vector<double> times;
        for (int i = -5; i < kRepetitions; ++i) {
            p += i % 2 ? odd : even;
            const int before = counter.paints;
            const double start = cpuMs();
            sendMouse(&view, QEvent::MouseMove, p, Qt::NoButton, Qt::LeftButton, modifiers);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
            const double ms = cpuMs() - start;
            if (counter.paints == before)
                return -1.0;
            if (i >= 0) // the first few warm up
                times.push_back(ms);
        }
        sendMouse(&view, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton, modifiers);
        return median(times);
    };
    t.drag = dragSteps({1900, 1000}, {6, 3}, {-4, 3}, Qt::NoModifier);
    t.shape = dragSteps({300, 200}, {60, 34}, {60, 34}, Qt::ControlModifier);
    if (t.drag < 0 || t.shape < 0)
        return t;
    t.undo = median(undos);
    t.redo = median(redos);
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // Leaves the user's settings alone.
    QStandardPaths::setTestModeEnabled(true);

    std::printf("canvas %dx%d, strokes of %d points at width %.0f; drag repaint = median of %d\n",
                kCanvas.width(), kCanvas.height(), kPointsPerStroke, kPenWidth, kRepetitions);
    // Once for nothing, so the first figure does not pay for warming caches and the allocator.
    measure(100);
    Timings base;
    Timings last;
    for (const int count : {100, 1000, 10000}) {
        const Timings t = measure(count);
        if (t.drag < 0 || t.shape < 0) {
            std::fprintf(stderr, "no repaint followed a drag step, undo or redo with %d strokes\n",
                         count);
            return 1;
        }
        if (count == 100)
            base = t;
        std::printf("%6d strokes: drag repaint %7.3f ms (%.2fx the 100-stroke case); rectangle "
                    "%7.3f ms (%.2fx); undo %7.3f ms (%.2fx); redo %7.3f ms (%.2fx); painting "
                    "every stroke %8.1f ms\n",
                    count, t.drag, t.drag / base.drag, t.shape, t.shape / base.shape, t.undo,
                    t.undo / base.undo, t.redo, t.redo / base.redo, t.everyStroke);
        last = t;
    }
    const double drag = last.drag / base.drag, shape = last.shape / base.shape,
                 undo = last.undo / base.undo;
    const auto aim = [](double ratio, double limit) { return ratio <= limit ? "within" : "over"; };
    std::printf(
        "10000 vs 100 strokes: drag %.2fx, rectangle %.2fx, %s the 1.5x aim; undo %.2fx, %s "
        "the 2x aim\n",
        drag, shape, aim(std::max(drag, shape), 1.5), undo, aim(undo, 2));
    return 0;
}
