#include "benchsupport.h"

#include <QCoreApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>
#include <QRandomGenerator>

#include <algorithm>

namespace
{

// Smooth value noise with fine grain: stands in for a photo, the part of a screen that
// compresses worst.
QImage photo(QSize size, QRandomGenerator& random)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter p(&image);
    int cells = 4;
    for (int octave = 0; octave < 5; ++octave, cells *= 2) {
        QImage coarse(cells, std::max(2, cells * size.height() / size.width()),
                      QImage::Format_ARGB32);
        for (int y = 0; y < coarse.height(); ++y)
            for (int x = 0; x < coarse.width(); ++x)
                coarse.setPixel(x, y,
                                qRgba(random.bounded(256), random.bounded(256), random.bounded(256),
                                      255 >> octave));
        p.drawImage(QRect(QPoint(), size),
                    coarse.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    p.end();
    for (int y = 0; y < size.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const int g = int(random.bounded(9)) - 4;
            row[x] =
                qRgb(std::clamp(qRed(row[x]) + g, 0, 255), std::clamp(qGreen(row[x]) + g, 0, 255),
                     std::clamp(qBlue(row[x]) + g, 0, 255));
        }
    }
    return image;
}

void drawWindowFrame(QPainter& p, const QRectF& r, const QString& title)
{
    QLinearGradient bar(r.topLeft(), r.topLeft() + QPointF(0, 28));
    bar.setColorAt(0, QColor(0xf4, 0xf5, 0xf7));
    bar.setColorAt(1, QColor(0xdc, 0xde, 0xe3));
    p.fillRect(QRectF(r.left(), r.top(), r.width(), 28), bar);
    p.setPen(QColor(0x30, 0x30, 0x38));
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 10));
    p.drawText(QRectF(r.left(), r.top(), r.width(), 28), Qt::AlignCenter, title);
    const QColor buttons[] = {QColor(0xee, 0x5f, 0x57), QColor(0xf5, 0xbf, 0x4f),
                              QColor(0x5c, 0xc8, 0x4a)};
    for (int i = 0; i < 3; ++i) {
        p.setBrush(buttons[i]);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(r.left() + 16 + 20 * i, r.top() + 14), 6, 6);
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QColor(0, 0, 0, 60));
    p.drawRect(r.adjusted(0, 0, -1, -1));
}

} // namespace

// A desktop in points: wallpaper, a code editor, a photo viewer, a file list and a panel.
QImage desktop(QSize points, double ratio)
{
    QImage image((QSizeF(points) * ratio).toSize(), QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    QRandomGenerator random(20240607);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, points.width(), points.height());
    sky.setColorAt(0, QColor(0x1d, 0x2b, 0x53));
    sky.setColorAt(0.6, QColor(0x7e, 0x25, 0x53));
    sky.setColorAt(1, QColor(0xff, 0x77, 0x4d));
    p.fillRect(QRect(QPoint(), points), sky);
    QRadialGradient glow(points.width() * 0.7, points.height() * 0.3, points.height() * 0.5);
    glow.setColorAt(0, QColor(255, 255, 255, 70));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(QRect(QPoint(), points), glow);

    const QRectF editor(points.width() * 0.08, points.height() * 0.1, points.width() * 0.45,
                        points.height() * 0.72);
    p.fillRect(editor, QColor(0xfb, 0xfb, 0xfc));
    drawWindowFrame(p, editor, QStringLiteral("screencapturer.cpp — 编辑器"));
    QFont mono(QStringLiteral("DejaVu Sans Mono"), 10);
    p.setFont(mono);
    const QStringList words = {"const",  "auto",  "QImage", "return", "if",     "capture",
                               "screen", "ratio", "rect",   "for",    "window", "// 截图",
                               "0x78",   "png",   "{",      "}",      "nullptr"};
    const QColor colours[] = {QColor(0xa6, 0x26, 0xa4), QColor(0x40, 0x78, 0xf2),
                              QColor(0x50, 0xa1, 0x4f), QColor(0x38, 0x3a, 0x42),
                              QColor(0x98, 0x68, 0x01)};
    const qreal lineHeight = QFontMetricsF(mono).lineSpacing();
    int line = 1;
    for (qreal y = editor.top() + 28 + lineHeight; y < editor.bottom() - 4; y += lineHeight) {
        p.setPen(QColor(0x9d, 0xa5, 0xb4));
        p.drawText(QPointF(editor.left() + 8, y), QString::number(line++).rightJustified(4));
        qreal x = editor.left() + 60 + 16 * random.bounded(4);
        while (x < editor.right() - 120) {
            const QString word = words.at(random.bounded(int(words.size())));
            p.setPen(colours[random.bounded(5)]);
            p.drawText(QPointF(x, y), word);
            x += QFontMetricsF(mono).horizontalAdvance(word + ' ');
            if (random.bounded(6) == 0)
                break;
        }
    }

    const QRectF viewer(points.width() * 0.56, points.height() * 0.14, points.width() * 0.38,
                        points.height() * 0.42);
    p.fillRect(viewer, QColor(0x2b, 0x2b, 0x2b));
    drawWindowFrame(p, viewer, QStringLiteral("IMG_2041.jpg"));
    const QRectF picture = viewer.adjusted(8, 36, -8, -8);
    p.drawImage(picture, photo((picture.size() * ratio).toSize(), random));

    const QRectF files(points.width() * 0.6, points.height() * 0.6, points.width() * 0.3,
                       points.height() * 0.3);
    p.fillRect(files, Qt::white);
    drawWindowFrame(p, files, QStringLiteral("下载 — 文件"));
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 9));
    for (int i = 0; i * 22 + 60 < files.height(); ++i) {
        const qreal y = files.top() + 36 + i * 22;
        if (i % 2)
            p.fillRect(QRectF(files.left() + 1, y, files.width() - 2, 22),
                       QColor(0xf2, 0xf4, 0xf8));
        p.setBrush(QColor::fromHsv(random.bounded(360), 150, 220));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(files.left() + 10, y + 3, 16, 16), 3, 3);
        p.setPen(QColor(0x22, 0x22, 0x22));
        p.drawText(QPointF(files.left() + 34, y + 16),
                   QStringLiteral("截图_2024-06-%1_10-%2.png").arg(i + 1).arg(10 + 3 * i));
        p.drawText(QPointF(files.right() - 90, y + 16),
                   QStringLiteral("%1 KB").arg(random.bounded(200, 4000)));
    }

    const QRectF panel(0, points.height() - 40, points.width(), 40);
    p.fillRect(panel, QColor(0x18, 0x18, 0x20));
    for (int i = 0; i < 9; ++i) {
        QLinearGradient icon(0, panel.top() + 6, 0, panel.top() + 34);
        icon.setColorAt(0, QColor::fromHsv(40 * i, 120, 250));
        icon.setColorAt(1, QColor::fromHsv(40 * i, 220, 170));
        p.setBrush(icon);
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(12 + 44 * i, panel.top() + 6, 28, 28), 6, 6);
    }
    p.setPen(Qt::white);
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 11));
    p.drawText(panel.adjusted(0, 0, -16, 0), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("10:42  6月7日"));
    return image;
}

Backdrop::Backdrop(const QImage& picture) : m_picture(picture)
{
    setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
}

void Backdrop::paintEvent(QPaintEvent*)
{
    QPainter(this).drawImage(QPointF(), m_picture);
}

QString startXvfb(QProcess& xvfb, QSize size)
{
    xvfb.setProcessChannelMode(QProcess::SeparateChannels);
    xvfb.start(QStringLiteral("Xvfb"),
               {"-displayfd", "1", "-screen", "0",
                QStringLiteral("%1x%2x24").arg(size.width()).arg(size.height()), "-nolisten", "tcp",
                "-noreset"});
    QByteArray display;
    while (!display.endsWith('\n')) {
        if (!xvfb.waitForReadyRead(10000))
            return {};
        display += xvfb.readAllStandardOutput();
    }
    return ':' + QString::fromLatin1(display.trimmed());
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

QStringList arguments(int argc, char** argv)
{
    QStringList list;
    for (int i = 1; i < argc; ++i)
        list << QString::fromLocal8Bit(argv[i]);
    return list;
}

int runCaseProcess(const QProcessEnvironment& environment, int index, int runs)
{
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--case", QString::number(index), QString::number(runs)});
    child.waitForFinished(-1);
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}
