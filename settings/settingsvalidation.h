#pragma once

#include <QString>

#include <optional>
#include <variant>

// What the settings form holds when the user saves: the two selected hot key titles (none when
// nothing is selected) and the five letter fields exactly as typed.
struct SettingsForm {
    std::optional<QString> markerTitle;
    std::optional<QString> screenshotTitle;
    QString redKey;
    QString blueKey;
    QString greenKey;
    QString eraserKey;
    QString clearKey;
};

// A form that passed every check, in the form it is stored.
struct ValidSettings {
    qint64 markerFunctionKey = 0;
    qint64 screenshotFunctionKey = 0;
    QString redKey;
    QString blueKey;
    QString greenKey;
    QString eraserKey;
    QString clearKey;
};

namespace SettingsValidation
{

// The number after the first character of a title such as "F8": an optional sign and ASCII
// digits within qint64, nothing else.
std::optional<qint64> functionNumber(const std::optional<QString>& title);

// Blanks and line breaks trimmed at both ends, then full Unicode lower case.
QString normalizedLetter(const QString& text);
// One user-perceived character that starts with an alphabetic code point.
bool isSingleLetter(const QString& text);
// A stored letter as the form and the toolbar show it: in upper case, unless that would turn
// one character into several (ß into SS), which could then not be saved again.
QString shownLetter(const QString& stored);

// Either the values to store or the message telling the user why they cannot be saved.
std::variant<ValidSettings, QString> validate(const SettingsForm& form);

// Nearest whole pen width, halves away from zero.
double roundedWidth(double width);

} // namespace SettingsValidation
