#pragma once

#include <QByteArray>
#include <QColor>

#include <optional>

// Stored pen colours: a magic tag, a format version and four 16-bit RGBA components (big
// endian). Anything else fails to decode, so a damaged value falls back to the default.
namespace ColorCodec
{

// Empty for a colour that cannot be encoded (an invalid QColor).
QByteArray encode(const QColor& color);
std::optional<QColor> decode(const QByteArray& bytes);

} // namespace ColorCodec
