#pragma once

#include <QString>

// Texts that show the hot keys. A key is given as shown: the stored number's keyText, or the
// desktop's own words for the key it assigned, or an empty text when nothing delivers the key.
// Stored numbers are shown as stored, also outside F1–F12, so a hand-edited value is visible
// rather than silently replaced.
namespace ShortcutTexts
{

inline QString keyText(qint64 number)
{
    return QStringLiteral("F") + QString::number(number);
}

inline QString shownKey(const QString& key)
{
    return key.isEmpty() ? QStringLiteral("未设置") : key;
}

inline QString label(const QString& screenshotKey, const QString& markerKey)
{
    return QStringLiteral("框选截图：") + shownKey(screenshotKey) +
           QStringLiteral("     开关画笔：") + shownKey(markerKey);
}

// The shortcut box where the desktop gives programs no global keys at all.
inline QString noGlobalKeysLabel()
{
    return QStringLiteral("此桌面不向程序提供全局快捷键\n可在桌面的键盘设置中为命令绑定按键");
}

inline QString screenshotMenuTitle(const QString& screenshotKey)
{
    return screenshotKey.isEmpty() ? QStringLiteral("框选截图")
                                   : QStringLiteral("框选截图    ") + screenshotKey;
}

inline QString markerMenuTitle(const QString& markerKey)
{
    return markerKey.isEmpty() ? QStringLiteral("开关全屏画笔")
                               : QStringLiteral("开关全屏画笔    ") + markerKey;
}

} // namespace ShortcutTexts
