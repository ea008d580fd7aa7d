#include "overlay/canvascommands.h"

#include "settings/settingsstore.h"
#include "settings/settingsvalidation.h"

#include <Qt>

#include <algorithm>

namespace
{

struct ColorSetting {
    QString key;
    QColor fallback;
};

const std::array<ColorSetting, 3>& colorSettings()
{
    static const std::array<ColorSetting, 3> table{{
        {SettingsKeys::redColor, SettingsDefaults::systemRed},
        {SettingsKeys::blueColor, SettingsDefaults::systemBlue},
        {SettingsKeys::greenColor, SettingsDefaults::systemGreen},
    }};
    return table;
}

bool sameText(const QString& a, const QString& b)
{
    return a.normalized(QString::NormalizationForm_D) == b.normalized(QString::NormalizationForm_D);
}

} // namespace

const std::array<LetterSetting, 5>& letterSettings()
{
    static const std::array<LetterSetting, 5> table{{
        {SettingsKeys::redKey, SettingsDefaults::redKey},
        {SettingsKeys::blueKey, SettingsDefaults::blueKey},
        {SettingsKeys::greenKey, SettingsDefaults::greenKey},
        {SettingsKeys::eraserKey, SettingsDefaults::eraserKey},
        {SettingsKeys::clearKey, SettingsDefaults::clearKey},
    }};
    return table;
}

PenPreset penPreset(const SettingsStore& settings, int index)
{
    const ColorSetting& c = colorSettings().at(std::size_t(index));
    return {settings.color(c.key, c.fallback),
            settings.positiveDouble(SettingsKeys::lineWidth, SettingsDefaults::lineWidth)};
}

QString keyCharacters(int qtKey, const QString& text)
{
    if (qtKey == Qt::Key_Escape)
        return QStringLiteral("\x1b");
    // The layout's own characters (ς, ı), not Qt's key code, which is their upper case.
    const QList<uint> typed = text.toUcs4();
    if (!typed.isEmpty() &&
        std::all_of(typed.begin(), typed.end(), [](uint c) { return QChar::isPrint(char32_t(c)); }))
        return text;
    // Control turns letters into control characters; the key code still names the letter.
    const auto c = char32_t(qtKey);
    if (qtKey >= 0x20 && qtKey < Qt::Key_Escape && QChar::isPrint(c))
        return QString::fromUcs4(&c, 1);
    return {};
}

CanvasCommand commandForKey(const QString& characters, const SettingsStore& settings)
{
    // The rule the settings window stores letters by, so that every letter it accepts can fire.
    const QString k = SettingsValidation::normalizedLetter(characters);
    const auto& letters = letterSettings();
    static constexpr std::array<CanvasCommand, 5> commands{
        CanvasCommand::preset0, CanvasCommand::preset1, CanvasCommand::preset2,
        CanvasCommand::eraser, CanvasCommand::clear};
    for (std::size_t i = 0; i < letters.size(); ++i) {
        if (sameText(k, settings.string(letters[i].key, letters[i].fallback)))
            return commands[i];
    }
    if (k == QStringLiteral("\x1b"))
        return CanvasCommand::exit;
    return CanvasCommand::none;
}

CanvasCommand commandForKeyPress(int qtKey, Qt::KeyboardModifiers modifiers, const QString& text,
                                 const SettingsStore& settings)
{
    if (qtKey == Qt::Key_Backspace)
        return modifiers & Qt::ShiftModifier ? CanvasCommand::redo : CanvasCommand::undo;
    const QString characters = keyCharacters(qtKey, text);
    return characters.isEmpty() ? CanvasCommand::none : commandForKey(characters, settings);
}
