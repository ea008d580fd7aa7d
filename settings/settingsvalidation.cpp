#include "settings/settingsvalidation.h"

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

namespace SettingsValidation
{

namespace
{

const UChar* units(const QString& text)
{
    return reinterpret_cast<const UChar*>(text.utf16());
}

int32_t length(const QString& text)
{
    return static_cast<int32_t>(text.size());
}

// UTF-16 length of the first user-perceived character (extended grapheme cluster).
qsizetype firstCharacterLength(const QString& text)
{
    if (text.isEmpty())
        return 0;
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaks(
        ubrk_open(UBRK_CHARACTER, "", units(text), length(text), &status), &ubrk_close);
    if (U_SUCCESS(status)) {
        const int32_t end = ubrk_following(breaks.get(), 0);
        return end == UBRK_DONE ? text.size() : end;
    }
    // Without break data a whole code point is still better than half a surrogate pair.
    int32_t end = 0;
    UChar32 ignored = 0;
    U16_NEXT(units(text), end, length(text), ignored);
    return end;
}

bool canonicallyEqual(const QString& a, const QString& b)
{
    return a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}

} // namespace

std::optional<qint64> functionNumber(const std::optional<QString>& title)
{
    if (!title)
        return std::nullopt;
    const QStringView rest = QStringView(*title).sliced(firstCharacterLength(*title));
    const qsizetype firstDigit = rest.startsWith(u'+') || rest.startsWith(u'-') ? 1 : 0;
    if (firstDigit == rest.size())
        return std::nullopt;
    const bool digitsOnly = std::all_of(rest.begin() + firstDigit, rest.end(),
                                        [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (!digitsOnly)
        return std::nullopt;
    bool ok = false;
    const qint64 number = rest.toLongLong(&ok, 10);
    return ok ? std::optional(number) : std::nullopt;
}

QString normalizedLetter(const QString& text)
{
    // trimmed() takes exactly the Zs, Zl and Zp separators, tab, U+000A–U+000D and U+0085, and
    // toLower() applies the full mappings (U+0130 becomes two code points).
    return text.trimmed().toLower();
}

bool isSingleLetter(const QString& text)
{
    if (text.isEmpty() || firstCharacterLength(text) != text.size())
        return false;
    int32_t next = 0;
    UChar32 first = 0;
    U16_NEXT(units(text), next, length(text), first);
    return u_hasBinaryProperty(first, UCHAR_ALPHABETIC);
}

QString shownLetter(const QString& stored)
{
    const auto oneCharacter = [](const QString& text) {
        return !text.isEmpty() && firstCharacterLength(text) == text.size();
    };
    const QString upper = stored.toUpper();
    return oneCharacter(stored) && !oneCharacter(upper) ? stored : upper;
}

std::variant<ValidSettings, QString> validate(const SettingsForm& form)
{
    // A stored key the pop-up does not list (a hand-edited F13) leaves it with no selection.
    const std::optional<qint64> marker = functionNumber(form.markerTitle);
    const std::optional<qint64> screenshot = functionNumber(form.screenshotTitle);
    if (!marker || !screenshot)
        return QStringLiteral("请为画笔和截图各选择一个 F 键。");
    if (*screenshot == *marker)
        return QStringLiteral("画笔和截图不能使用同一个 F 键。");

    ValidSettings valid{*marker,
                        *screenshot,
                        normalizedLetter(form.redKey),
                        normalizedLetter(form.blueKey),
                        normalizedLetter(form.greenKey),
                        normalizedLetter(form.eraserKey),
                        normalizedLetter(form.clearKey)};
    const std::array<const QString*, 5> letters{&valid.redKey, &valid.blueKey, &valid.greenKey,
                                                &valid.eraserKey, &valid.clearKey};
    if (!std::all_of(letters.begin(), letters.end(),
                     [](const QString* letter) { return isSingleLetter(*letter); }))
        return QStringLiteral("画笔内部快捷键必须是单个字母。");
    for (auto a = letters.begin(); a != letters.end(); ++a) {
        for (auto b = a + 1; b != letters.end(); ++b) {
            // Two spellings of one character (é and e + U+0301) would be one key to the user.
            if (canonicallyEqual(**a, **b))
                return QStringLiteral("画笔内部快捷键不能重复。");
        }
    }
    return valid;
}

double roundedWidth(double width)
{
    return std::round(width);
}

} // namespace SettingsValidation
