#pragma once

// What the benchmarks that read the screen share: a desktop-like picture to read, a window that
// shows it, a private Xvfb, the median, and each case in a process of its own.

#include <QImage>
#include <QProcess>
#include <QRasterWindow>
#include <QSize>
#include <QStringList>

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

// The arguments after the program's name.
QStringList arguments(int argc, char** argv);

// Runs this program again as "--case INDEX RUNS" in that environment, its output passed through;
// its exit code, or 1 when it crashed.
int runCaseProcess(const QProcessEnvironment& environment, int index, int runs);
