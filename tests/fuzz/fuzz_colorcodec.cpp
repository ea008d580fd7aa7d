// Stored colour values from a damaged or hand-edited settings file.

#include "settings/colorcodec.h"
#include "tests/fuzz/fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);
    const std::optional<QColor> color = ColorCodec::decode(bytes);
    if (!color)
        return 0;
    FUZZ_CHECK(color->isValid());
    // One colour has one encoding; otherwise a save after a load would rewrite the file.
    const QByteArray again = ColorCodec::encode(*color);
    FUZZ_CHECK(again == bytes);
    const std::optional<QColor> back = ColorCodec::decode(again);
    FUZZ_CHECK(back && *back == *color && back->rgba64() == color->rgba64());
    return 0;
}
