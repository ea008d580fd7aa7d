// Hot key titles as the settings form could hand them over.

#include "settings/settingsvalidation.h"
#include "tests/fuzz/fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString title = QString::fromUtf8(fuzzBytes(data, size));
    const std::optional<qint64> number = SettingsValidation::functionNumber(title);
    if (!number)
        return 0;
    // What was accepted is stored as a number and shown again as "F<n>".
    const QString shown = QStringLiteral("F") + QString::number(*number);
    FUZZ_CHECK(SettingsValidation::functionNumber(shown) == number);
    // Nothing but digits may follow the sign.
    FUZZ_CHECK(!SettingsValidation::functionNumber(title + QStringLiteral("x")));
    return 0;
}
