// Whatever arrives on the single-instance socket: a request is read only when it is exactly
// what a client of this version writes, and so is a reply.

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
    if (const std::optional<InstanceMessage::Reply> reply = InstanceMessage::parseReply(bytes))
        FUZZ_CHECK(InstanceMessage::reply(*reply) == bytes);
    return 0;
}
