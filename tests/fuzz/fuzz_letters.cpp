// The five pen letter fields of the settings form; 0xFF bytes, never part of UTF-8, split the
// input into the fields.

#include "settings/settingsvalidation.h"
#include "tests/fuzz/fuzzcheck.h"

#include <QList>

#include <unicode/ubrk.h>

#include <array>
#include <memory>

namespace
{

// Counted over the whole text, not just from its start as the validation does.
int graphemeClusters(const QString& text)
{
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaks(
        ubrk_open(UBRK_CHARACTER, "", reinterpret_cast<const UChar*>(text.utf16()),
                  static_cast<int32_t>(text.size()), &status),
        &ubrk_close);
    FUZZ_CHECK(U_SUCCESS(status));
    ubrk_first(breaks.get());
    int count = 0;
    while (ubrk_next(breaks.get()) != UBRK_DONE)
        ++count;
    return count;
}

bool sameCharacter(const QString& a, const QString& b)
{
    return a.normalized(QString::NormalizationForm_D) == b.normalized(QString::NormalizationForm_D);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QList<QByteArray> parts = fuzzBytes(data, size).split('\xff');
    std::array<QString, 5> typed;
    for (qsizetype i = 0; i < qsizetype(typed.size()) && i < parts.size(); ++i)
        typed[i] = QString::fromUtf8(parts[i]);

    std::array<QString, 5> letters;
    bool allLetters = true;
    for (std::size_t i = 0; i < typed.size(); ++i) {
        letters[i] = SettingsValidation::normalizedLetter(typed[i]);
        if (!SettingsValidation::isSingleLetter(letters[i])) {
            allLetters = false;
            continue;
        }
        FUZZ_CHECK(graphemeClusters(letters[i]) == 1);
        // Stored in lower case and stable, so a saved letter reads back as the same key.
        FUZZ_CHECK(letters[i].toLower() == letters[i]);
        FUZZ_CHECK(SettingsValidation::normalizedLetter(letters[i]) == letters[i]);
    }
    bool repeated = false;
    for (std::size_t a = 0; a < letters.size(); ++a) {
        for (std::size_t b = a + 1; b < letters.size(); ++b)
            repeated = repeated || sameCharacter(letters[a], letters[b]);
    }

    const SettingsForm form{QStringLiteral("F8"),
                            QStringLiteral("F9"),
                            typed[0],
                            typed[1],
                            typed[2],
                            typed[3],
                            typed[4]};
    const auto result = SettingsValidation::validate(form);
    const ValidSettings* valid = std::get_if<ValidSettings>(&result);
    FUZZ_CHECK((valid != nullptr) == (allLetters && !repeated));
    if (!valid) {
        FUZZ_CHECK(std::get<QString>(result) ==
                   (allLetters ? QStringLiteral("画笔内部快捷键不能重复。")
                               : QStringLiteral("画笔内部快捷键必须是单个字母。")));
        return 0;
    }
    FUZZ_CHECK(valid->markerFunctionKey == 8 && valid->screenshotFunctionKey == 9);
    const std::array<QString, 5> stored{valid->redKey, valid->blueKey, valid->greenKey,
                                        valid->eraserKey, valid->clearKey};
    FUZZ_CHECK(stored == letters);
    return 0;
}
