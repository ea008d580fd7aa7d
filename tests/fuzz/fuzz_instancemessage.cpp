// Whatever arrives on the single-instance socket: a request is read only when it is exactly
// what a client of this version writes, and the reply check accepts only the acceptance.

#include "app/instancemessage.h"
#include "tests/fuzz/fuzzcheck.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<InstanceAction> action = InstanceMessage::parseRequest(bytes);
    if (action) {
        FUZZ_CHECK(InstanceMessage::request(*action) == bytes);
        FUZZ_CHECK(bytes.size() <= InstanceMessage::kMaxLength);
    }
    FUZZ_CHECK(InstanceMessage::isAcceptance(bytes) == (bytes == InstanceMessage::reply(true)));
    return 0;
}
