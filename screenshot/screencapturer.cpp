#include "screenshot/screencapturer.h"

#include <QGuiApplication>
#include <QTimer>

void ScreenCapturer::grabStills(std::function<void(StillsResult)> done)
{
    StillsResult result{StillsResult::Status::Taken, {}, {}};
    for (QScreen* screen : QGuiApplication::screens()) {
        const std::optional<quint32> id = displayID(screen);
        if (!id)
            continue;
        CaptureResult capture = this->capture(screen, QRectF(QPointF(0, 0), screen->size()));
        if (!capture.error.isEmpty()) {
            result = {StillsResult::Status::Failed, {}, capture.error};
            break;
        }
        result.stills.push_back({screen, *id, std::move(capture.image)});
    }
    QTimer::singleShot(0, qApp, [done = std::move(done), result = std::move(result)] {
        done(result);
    });
}
