#pragma once

#include <QColor>
#include <QString>
#include <Qt>

#include <array>

class SettingsStore;

enum class CanvasCommand { preset0, preset1, preset2, eraser, clear, exit, undo, redo, none };

struct LetterSetting {
    QString key;
    QString fallback;
};

// The five command letters in the order a key press is compared with them: the three pens,
// the eraser, clear. When two hold the same letter the earlier one wins.
const std::array<LetterSetting, 5>& letterSettings();

struct PenPreset {
    QColor color;
    double width = 0.0;
};

// Colour and shared width of pen 0, 1 or 2, read from the store at the moment of use.
PenPreset penPreset(const SettingsStore& settings, int index);

// The characters a key gives: its text as the layout gives it, or, where Control made that a
// control character or there is none, the letter of Qt's key code (Shift only changes case,
// which the comparison folds away). Escape gives U+001B.
QString keyCharacters(int qtKey, const QString& text);

// Normalises the characters as the settings window does its letters (trimmed, full lower case)
// and compares them with the stored letters as stored (so an upper-case stored letter never
// matches), then with Escape.
CanvasCommand commandForKey(const QString& characters, const SettingsStore& settings);

// The command of a key press on the canvas: Backspace undoes and Shift+Backspace redoes (no stored
// letter can be Backspace); everything else goes through keyCharacters and commandForKey.
CanvasCommand commandForKeyPress(int qtKey, Qt::KeyboardModifiers modifiers, const QString& text,
                                 const SettingsStore& settings);
