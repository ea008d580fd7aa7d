#include "screenshot/pngencoder.h"

#include <QImage>
#include <QThread>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <thread>
#include <vector>

namespace
{

// PNG allows only one zlib stream, so the rows are cut into bands of about this size that
// compress independently on every core and join through sync flushes. Fixed bands (not one
// per core) make the file the same on every machine.
constexpr qsizetype kBandBytes = qsizetype(1) << 20;
// Rows filtered per deflate() call; keeps the filtered bytes in cache.
constexpr int kBatchRows = 16;

void appendBE32(QByteArray& out, quint32 v)
{
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(bytes, 4);
}

void appendChunk(QByteArray& png, const char* type, std::initializer_list<QByteArrayView> parts)
{
    qsizetype length = 0;
    for (QByteArrayView part : parts)
        length += part.size();
    appendBE32(png, quint32(length));
    png.append(type, 4);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    for (QByteArrayView part : parts) {
        // crc32_z() restarts on a null buffer, which an empty view may have.
        if (part.isEmpty())
            continue;
        png.append(part);
        crc = crc32_z(crc, reinterpret_cast<const Bytef*>(part.data()), size_t(part.size()));
    }
    appendBE32(png, quint32(crc));
}

// Each byte of a minus the same byte of b, without borrows between bytes.
quint32 subtractBytes(quint32 a, quint32 b)
{
    constexpr quint32 high = 0x80808080;
    return ((a | high) - (b & ~high)) ^ ((a ^ ~b) & high);
}

// Every row takes the Up filter (minus the pixel above): cheap, and on screenshots within a few
// per cent of choosing per row between Sub and Up. The first row has nothing above; Up then
// leaves it as it is.
template <int Channels> void filterUp(const QRgb* row, const QRgb* above, int width, uchar* out)
{
    *out++ = 2;
    for (int x = 0; x < width; ++x, out += Channels) {
        const quint32 d = above ? subtractBytes(row[x], above[x]) : row[x];
        out[0] = uchar(d >> 16);
        out[1] = uchar(d >> 8);
        out[2] = uchar(d);
        if constexpr (Channels == 4)
            out[3] = uchar(d >> 24);
    }
}

struct Band {
    int firstRow = 0;
    int rows = 0;
    QByteArray deflated;
    uLong adler = 1;
    bool ok = false;
};

class BandEncoder
{
public:
    BandEncoder(const QImage& image, int channels)
        : m_image(image), m_channels(channels), m_rowBytes(1 + qsizetype(image.width()) * channels)
    {
        m_ready = deflateInit2(&m_zs, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~BandEncoder()
    {
        if (m_ready)
            deflateEnd(&m_zs);
    }
    BandEncoder(const BandEncoder&) = delete;
    BandEncoder& operator=(const BandEncoder&) = delete;

    void encode(Band& band, bool last)
    {
        if (!m_ready || deflateReset(&m_zs) != Z_OK)
            return;
        band.deflated = QByteArray(qsizetype(deflateBound(&m_zs, uLong(band.rows * m_rowBytes))),
                                   Qt::Uninitialized);
        m_zs.next_out = reinterpret_cast<Bytef*>(band.deflated.data());
        m_zs.avail_out = uInt(band.deflated.size());
        std::vector<uchar> filtered(kBatchRows * m_rowBytes);
        for (int y = band.firstRow, end = band.firstRow + band.rows; y < end;) {
            const int n = std::min(kBatchRows, end - y);
            for (int i = 0; i < n; ++i, ++y)
                filterRow(y, filtered.data() + i * m_rowBytes);
            const auto bytes = uInt(n * m_rowBytes);
            band.adler = adler32_z(band.adler, filtered.data(), bytes);
            m_zs.next_in = filtered.data();
            m_zs.avail_in = bytes;
            const int flush = y < end ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
            if (!deflateAll(band.deflated, flush))
                return;
        }
        band.deflated.truncate(qsizetype(m_zs.total_out));
        band.ok = true;
    }

private:
    void filterRow(int y, uchar* out) const
    {
        const auto* row = reinterpret_cast<const QRgb*>(m_image.constScanLine(y));
        const auto* above =
            y ? reinterpret_cast<const QRgb*>(m_image.constScanLine(y - 1)) : nullptr;
        if (m_channels == 4)
            filterUp<4>(row, above, m_image.width(), out);
        else
            filterUp<3>(row, above, m_image.width(), out);
    }

    bool deflateAll(QByteArray& out, int flush)
    {
        for (;;) {
            if (m_zs.avail_out == 0) {
                // Flush markers can outgrow deflateBound(); rare, so grow generously.
                const qsizetype used = qsizetype(m_zs.total_out);
                out.resize(out.size() + out.size() / 2 + 64);
                m_zs.next_out = reinterpret_cast<Bytef*>(out.data()) + used;
                m_zs.avail_out = uInt(out.size() - used);
            }
            const int rc = deflate(&m_zs, flush);
            if (rc == Z_STREAM_ERROR)
                return false;
            if (flush == Z_FINISH ? rc == Z_STREAM_END : m_zs.avail_in == 0 && m_zs.avail_out != 0)
                return true;
        }
    }

    const QImage& m_image;
    const int m_channels;
    const qsizetype m_rowBytes;
    z_stream m_zs{};
    bool m_ready = false;
};

bool isOpaque(const QImage& argb)
{
    for (int y = 0; y < argb.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        if (!std::all_of(row, row + argb.width(), [](QRgb p) { return qAlpha(p) == 255; }))
            return false;
    }
    return true;
}

} // namespace

QByteArray encodePng(const QImage& image)
{
    if (image.isNull())
        return {};
    // Both formats hold one QRgb per pixel; opaque ARGB32 is read as RGB.
    QImage source = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                                  : QImage::Format_RGB32);
    if (source.isNull())
        return {};
    const int channels = source.hasAlphaChannel() && !isOpaque(source) ? 4 : 3;

    const qsizetype rowBytes = 1 + qsizetype(source.width()) * channels;
    const int bandRows = int(std::clamp<qsizetype>(kBandBytes / rowBytes, 1, source.height()));
    std::vector<Band> bands(size_t((source.height() + bandRows - 1) / bandRows));
    for (size_t i = 0; i < bands.size(); ++i) {
        bands[i].firstRow = int(i) * bandRows;
        bands[i].rows = std::min(bandRows, source.height() - bands[i].firstRow);
    }

    std::atomic<size_t> next = 0;
    auto work = [&] {
        BandEncoder encoder(source, channels);
        for (size_t i; (i = next++) < bands.size();)
            encoder.encode(bands[i], i + 1 == bands.size());
    };
    const int threadCount = std::min(int(bands.size()), QThread::idealThreadCount());
    std::vector<std::thread> helpers;
    for (int i = 1; i < threadCount; ++i)
        helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers)
        t.join();

    uLong adler = 1;
    qsizetype deflated = 0;
    for (const Band& band : bands) {
        if (!band.ok)
            return {};
        adler = adler32_combine(adler, band.adler, z_off_t(band.rows * rowBytes));
        deflated += band.deflated.size();
    }

    QByteArray png;
    png.reserve(8 + 25 + deflated + 12 * qsizetype(bands.size()) + 6 + 12);
    png.append("\x89PNG\r\n\x1a\n", 8);
    QByteArray header;
    appendBE32(header, quint32(source.width()));
    appendBE32(header, quint32(source.height()));
    // 8 bits per channel, RGB (2) or RGBA (6), deflate, adaptive filters, not interlaced.
    const char format[5] = {8, char(channels == 4 ? 6 : 2), 0, 0, 0};
    header.append(format, 5);
    appendChunk(png, "IHDR", {header});
    // zlib header: deflate with a 32 KiB window, fastest level, no dictionary.
    const QByteArray zlibHeader("\x78\x01", 2);
    QByteArray trailer;
    appendBE32(trailer, quint32(adler));
    for (size_t i = 0; i < bands.size(); ++i) {
        const bool first = i == 0, last = i + 1 == bands.size();
        appendChunk(png, "IDAT",
                    {first ? QByteArrayView(zlibHeader) : QByteArrayView(), bands[i].deflated,
                     last ? QByteArrayView(trailer) : QByteArrayView()});
    }
    appendChunk(png, "IEND", {});
    return png;
}
