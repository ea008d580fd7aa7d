#pragma once

#include <optional>
#include <string>
#include <string_view>

// What a later start asks the running copy to do.
enum class InstanceAction { Show, Screenshot, Pen, Settings, OpenFolder, Quit };

// The single-instance channel carries one request line and one reply line, each
// "vellori/<version> <word>\n". A request the running copy cannot read exactly is refused.
namespace InstanceMessage
{

inline constexpr int kVersion = 1;
// Longer than any request or reply; a peer sending more is cut off.
inline constexpr std::size_t kMaxLength = 64;

std::string request(InstanceAction action);
// The action of one complete request line, newline included; nothing for anything else.
std::optional<InstanceAction> parseRequest(std::string_view line);

// What the running copy answers: it takes the action, refuses what it cannot read, or cannot take
// it now (a screenshot while one is still running).
enum class Reply { accepted, refused, busy };
std::string reply(Reply answer);
// The answer of one complete reply line, newline included; nothing for anything else.
std::optional<Reply> parseReply(std::string_view line);

} // namespace InstanceMessage
