#pragma once

// What the benchmarks that read the screen share: a desktop-like picture to read, a window that
// shows it, a private Xvfb, and the median.

#include <QImage>
#include <QProcess>
#include <QRasterWindow>
#include <QSize>

#include <vector>

// A desktop in points, at the ratio: wallpaper, a code editor, a photo viewer, a file list and
// a panel. The same picture every time.
QImage desktop(QSize points, double ratio);

// Covers the screen with the picture, above everything, at native pixels.
class Backdrop : public QRasterWindow
{
public:
    explicit Backdrop(const QImage& picture);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QImage m_picture;
};

// Starts Xvfb of that size on a free display; returns the display (":N"), or nothing.
QString startXvfb(QProcess& xvfb, QSize size);

double median(std::vector<double> v);
