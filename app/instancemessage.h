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

std::string reply(bool accepted);
// True only for the reply that accepts, newline included.
bool isAcceptance(std::string_view line);

} // namespace InstanceMessage
