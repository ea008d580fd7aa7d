#include "settings/colorcodec.h"

#include <QDataStream>
#include <QIODevice>

namespace
{

constexpr char kTag[4] = {'V', 'L', 'C', 'R'};
constexpr quint8 kVersion = 1;
constexpr int kSize = 4 + 1 + 4 * 2;

} // namespace

namespace ColorCodec
{

QByteArray encode(const QColor& color)
{
    if (!color.isValid())
        return {};
    const QRgba64 c = color.toRgb().rgba64();
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::BigEndian);
    out.writeRawData(kTag, sizeof kTag);
    out << kVersion << c.red() << c.green() << c.blue() << c.alpha();
    return bytes;
}

std::optional<QColor> decode(const QByteArray& bytes)
{
    if (bytes.size() != kSize || !bytes.startsWith(QByteArray(kTag, sizeof kTag)))
        return std::nullopt;
    QDataStream in(bytes);
    in.setByteOrder(QDataStream::BigEndian);
    in.skipRawData(sizeof kTag);
    quint8 version = 0;
    quint16 r = 0, g = 0, b = 0, a = 0;
    in >> version >> r >> g >> b >> a;
    if (in.status() != QDataStream::Ok || version != kVersion)
        return std::nullopt;
    return QColor::fromRgba64(r, g, b, a);
}

} // namespace ColorCodec
