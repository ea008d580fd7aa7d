#include "screenshot/nullscreencapturer.h"

#include <QCoreApplication>
#include <QTimer>

std::optional<quint32> NullScreenCapturer::displayID(const QScreen*) const
{
    return std::nullopt;
}

bool NullScreenCapturer::compositing() const
{
    return false;
}

void NullScreenCapturer::grabStills(std::function<void(StillsResult)> done, const QRegion&)
{
    QTimer::singleShot(0, qApp, [done = std::move(done)] {
        done({StillsResult::Status::Failed,
              {},
              QStringLiteral("此桌面环境不支持截图，请在 X11 会话中使用。")});
    });
}
