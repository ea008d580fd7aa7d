#include "overlay/liveprobe.h"

#include <QPainter>

#include <cstdlib>

namespace
{

constexpr int kSide = 8; // device pixels of the hole and the mark

bool black(QRgb colour)
{
    return qRed(colour) < 16 && qGreen(colour) < 16 && qBlue(colour) < 16;
}

bool near(QRgb a, QRgb b)
{
    return std::abs(qRed(a) - qRed(b)) <= 40 && std::abs(qGreen(a) - qGreen(b)) <= 40 &&
           std::abs(qBlue(a) - qBlue(b)) <= 40;
}

QRgb centre(const QImage& image, const QRect& area)
{
    return image.rect().contains(area.center()) ? image.pixel(area.center()) : 0;
}

} // namespace

std::optional<LiveProbe> findLiveProbe(const QImage& still)
{
    // From the bottom right, along the lower quarter: the toolbar sits at the top.
    const int step = kSide * 4;
    for (int y = still.height() - 2 * kSide; y > still.height() * 3 / 4; y -= step) {
        for (int x = still.width() - 3 * kSide; x > kSide; x -= step) {
            const QRect hole(x, y, kSide, kSide);
            if (black(centre(still, hole)))
                continue;
            const QRect mark = hole.translated(kSide, 0);
            // Far from what the still has there in every channel.
            const QRgb under = centre(still, mark);
            const QRgb colour = qRgb(qRed(under) < 128 ? 255 : 0, qGreen(under) < 128 ? 255 : 0,
                                     qBlue(under) < 128 ? 255 : 0);
            return LiveProbe{hole, mark, colour};
        }
    }
    return std::nullopt;
}

QImage withLiveProbe(const QImage& still, const LiveProbe& probe)
{
    QImage probed = still.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    // In the still's own pixels.
    probed.setDevicePixelRatio(1);
    {
        QPainter painter(&probed);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(probe.hole, Qt::transparent);
        painter.fillRect(probe.mark, QColor(probe.colour));
    }
    probed.setDevicePixelRatio(still.devicePixelRatio());
    return probed;
}

LiveAnswer liveAnswer(const QImage& seen, const LiveProbe& probe)
{
    if (!near(centre(seen, probe.mark), probe.colour))
        return LiveAnswer::Unseen;
    return black(centre(seen, probe.hole)) ? LiveAnswer::Still : LiveAnswer::Live;
}
