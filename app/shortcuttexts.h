#pragma once

#include <QString>

// Texts that show the configured function keys. Stored numbers are shown as stored, also
// outside F1–F12, so a hand-edited value is visible rather than silently replaced.
namespace ShortcutTexts
{

inline QString keyText(qint64 number)
{
    return QStringLiteral("F") + QString::number(number);
}

inline QString label(qint64 screenshotKey, qint64 markerKey)
{
    return QStringLiteral("框选截图：") + keyText(screenshotKey) +
           QStringLiteral("     开关画笔：") + keyText(markerKey);
}

inline QString screenshotMenuTitle(qint64 screenshotKey)
{
    return QStringLiteral("框选截图    ") + keyText(screenshotKey);
}

inline QString markerMenuTitle(qint64 markerKey)
{
    return QStringLiteral("开关全屏画笔    ") + keyText(markerKey);
}

} // namespace ShortcutTexts
