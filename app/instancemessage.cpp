#include "app/instancemessage.h"

#include <array>
#include <utility>

namespace
{

constexpr std::string_view kMagic = "vellori/";

constexpr std::array<std::pair<InstanceAction, std::string_view>, 6> kWords{{
    {InstanceAction::Show, "show"},
    {InstanceAction::Screenshot, "screenshot"},
    {InstanceAction::Pen, "pen"},
    {InstanceAction::Settings, "settings"},
    {InstanceAction::OpenFolder, "open-folder"},
    {InstanceAction::Quit, "quit"},
}};

std::string line(std::string_view word)
{
    return std::string(kMagic) + std::to_string(InstanceMessage::kVersion) + ' ' +
           std::string(word) + '\n';
}

// The word of a line in the current version; nothing when the frame is not exactly right. A
// newer version is refused here: its words may mean something else.
std::optional<std::string_view> word(std::string_view text)
{
    if (text.size() > InstanceMessage::kMaxLength || !text.starts_with(kMagic) ||
        !text.ends_with('\n'))
        return std::nullopt;
    text.remove_prefix(kMagic.size());
    text.remove_suffix(1);
    const std::string version = std::to_string(InstanceMessage::kVersion) + ' ';
    if (!text.starts_with(version))
        return std::nullopt;
    text.remove_prefix(version.size());
    return text;
}

} // namespace

namespace InstanceMessage
{

std::string request(InstanceAction action)
{
    for (const auto& [known, name] : kWords) {
        if (known == action)
            return line(name);
    }
    return {};
}

std::optional<InstanceAction> parseRequest(std::string_view text)
{
    const std::optional<std::string_view> name = word(text);
    if (!name)
        return std::nullopt;
    for (const auto& [action, known] : kWords) {
        if (known == *name)
            return action;
    }
    return std::nullopt;
}

std::string reply(Reply answer)
{
    return line(answer == Reply::accepted ? "ok" : answer == Reply::busy ? "busy" : "refused");
}

std::optional<Reply> parseReply(std::string_view text)
{
    const std::optional<std::string_view> name = word(text);
    if (name == "ok")
        return Reply::accepted;
    if (name == "busy")
        return Reply::busy;
    if (name == "refused")
        return Reply::refused;
    return std::nullopt;
}

} // namespace InstanceMessage
