#include "screenshot/nullscreencapturer.h"

std::optional<quint32> NullScreenCapturer::displayID(const QScreen*) const
{
    return std::nullopt;
}

bool NullScreenCapturer::compositing() const
{
    return false;
}

CaptureResult NullScreenCapturer::capture(const QScreen*, const QRectF&)
{
    return {{}, QStringLiteral("此桌面环境不支持截图，请在 X11 会话中使用。")};
}
