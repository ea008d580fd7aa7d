// The five pen letter fields of the settings form; 0xFF bytes, never part of UTF-8, split the
// input into the fields.

#include "settings/settingsvalidation.h"
#include "tests/fuzz/fuzzcheck.h"

#include <QStringList>

#include <unicode/ubrk.h>

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
    int count = 0;
    for (ubrk_first(breaks.get()); ubrk_next(breaks.get()) != UBRK_DONE;)
        ++count;
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QList<QByteArray> parts = fuzzBytes(data, size).split('\xff');
    QStringList typed, letters;
    bool allLetters = true, repeated = false;
    for (qsizetype i = 0; i < 5; ++i) {
        typed << QString::fromUtf8(parts.value(i));
        const QString letter = SettingsValidation::normalizedLetter(typed[i]);
        if (SettingsValidation::isSingleLetter(letter)) {
            FUZZ_CHECK(graphemeClusters(letter) == 1);
            // Stored in lower case and stable, so a saved letter reads back as the same key.
            FUZZ_CHECK(letter.toLower() == letter);
            FUZZ_CHECK(SettingsValidation::normalizedLetter(letter) == letter);
        } else {
            allLetters = false;
        }
        for (const QString& earlier : letters)
            repeated = repeated || earlier.normalized(QString::NormalizationForm_D) ==
                                       letter.normalized(QString::NormalizationForm_D);
        letters << letter;
    }

    const auto result =
        SettingsValidation::validate({QStringLiteral("F8"), QStringLiteral("F9"), typed[0],
                                      typed[1], typed[2], typed[3], typed[4]});
    const ValidSettings* valid = std::get_if<ValidSettings>(&result);
    FUZZ_CHECK((valid != nullptr) == (allLetters && !repeated));
    if (!valid) {
        FUZZ_CHECK(std::get<QString>(result) ==
                   (allLetters ? QStringLiteral("画笔内部快捷键不能重复。")
                               : QStringLiteral("画笔内部快捷键必须是单个字母。")));
        return 0;
    }
    FUZZ_CHECK((QStringList{valid->redKey, valid->blueKey, valid->greenKey, valid->eraserKey,
                            valid->clearKey}) == letters);
    return 0;
}
