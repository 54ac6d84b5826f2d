// PCX: a 128-byte header, then each scan line as one run of bytes per colour
// plane, run-length coded. Layouts read here: 8-bit with the 256-colour
// palette at the end of the file, 8-bit RGB(A) as three or four planes,
// 4-bit packed and 1-bit planar with the 16-colour header palette, and 1-bit
// black and white.
#include <array>
#include <vector>

#include "picture/decoders.h"

namespace lumigrab::picture_detail {
namespace {

constexpr std::size_t kHeaderSize = 128;
constexpr std::size_t kHeaderPaletteAt = 16;
constexpr std::size_t kTailPaletteSize = 769;  // the 0x0C marker and 256 RGB triples
constexpr std::uint8_t kTailPaletteMarker = 0x0C;
constexpr std::size_t kLongestRun = 63;

struct Header {
    int version = 0;
    bool rle = true;
    int bitsPerPixel = 0;
    int planes = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::size_t bytesPerLine = 0;
    int paletteInfo = 0;
};

// Pulls decoded bytes out of the run-length stream. Runs may cross scan-line
// and plane boundaries; several encoders produce such files.
class ScanReader {
public:
    ScanReader(ByteSpan data, bool rle) : data_(data), rle_(rle) {}

    bool Fill(std::uint8_t* out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            while (runLeft_ == 0) {
                if (position_ >= data_.size()) return false;
                const std::uint8_t b = data_[position_++];
                if (rle_ && (b & 0xC0) == 0xC0) {
                    if (position_ >= data_.size()) return false;
                    runValue_ = data_[position_++];
                    runLeft_ = b & 0x3F;  // a zero count is legal and yields nothing
                } else {
                    runValue_ = b;
                    runLeft_ = 1;
                }
            }
            out[i] = runValue_;
            --runLeft_;
        }
        return true;
    }

private:
    ByteSpan data_;
    bool rle_;
    std::size_t position_ = 0;
    std::size_t runLeft_ = 0;
    std::uint8_t runValue_ = 0;
};

bool SupportedLayout(int bitsPerPixel, int planes) {
    if (bitsPerPixel == 8) return planes == 1 || planes == 3 || planes == 4;
    if (bitsPerPixel == 4) return planes == 1;
    if (bitsPerPixel == 1) return planes >= 1 && planes <= 4;
    return false;
}

std::optional<Header> ParseHeader(ByteSpan bytes) {
    if (!HasBytes(bytes, 0, kHeaderSize) || bytes[0] != 0x0A) return std::nullopt;
    Header h;
    h.version = bytes[1];
    if (bytes[2] > 1) return std::nullopt;
    h.rle = bytes[2] == 1;
    h.bitsPerPixel = bytes[3];
    const int xMin = U16(bytes, 4), yMin = U16(bytes, 6), xMax = U16(bytes, 8), yMax = U16(bytes, 10);
    if (xMax < xMin || yMax < yMin) return std::nullopt;
    h.width = xMax - xMin + 1;
    h.height = yMax - yMin + 1;
    h.planes = bytes[65];
    h.bytesPerLine = U16(bytes, 66);
    h.paletteInfo = U16(bytes, 68);
    if (!SupportedLayout(h.bitsPerPixel, h.planes) || !FitsLimits(h.width, h.height))
        return std::nullopt;
    // Lines hold at least the pixels; a far longer line only makes the
    // decoder churn through bytes no pixel uses.
    const std::size_t needed = static_cast<std::size_t>((h.width * h.bitsPerPixel + 7) / 8);
    if (h.bytesPerLine < needed || h.bytesPerLine > needed * 2 + 16) return std::nullopt;
    return h;
}

std::array<std::array<std::uint8_t, 3>, 256> ReadPalette(ByteSpan bytes, std::size_t at, int entries) {
    std::array<std::array<std::uint8_t, 3>, 256> palette{};
    for (int i = 0; i < entries; ++i)
        for (int c = 0; c < 3; ++c) palette[i][c] = bytes[at + static_cast<std::size_t>(i) * 3 + c];
    return palette;
}

}  // namespace

bool ReadPcx(ByteSpan bytes, RowSink& sink) {
    const std::optional<Header> header = ParseHeader(bytes);
    if (!header) return false;
    const Header& h = *header;

    std::size_t dataEnd = bytes.size();
    std::array<std::array<std::uint8_t, 3>, 256> palette{};
    if (h.bitsPerPixel == 8 && h.planes == 1) {
        const bool tail = bytes.size() >= kHeaderSize + kTailPaletteSize &&
                          bytes[bytes.size() - kTailPaletteSize] == kTailPaletteMarker;
        if (tail) {
            dataEnd = bytes.size() - kTailPaletteSize;
            palette = ReadPalette(bytes, dataEnd + 1, 256);
        } else if (h.paletteInfo == 2) {
            for (int i = 0; i < 256; ++i) palette[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i),
                                                        static_cast<std::uint8_t>(i)};
        } else {
            return false;  // the palette was cut off with the end of the file
        }
    } else if (h.bitsPerPixel == 1 && h.planes == 1) {
        palette[1] = {255, 255, 255};
    } else if (h.bitsPerPixel < 8) {
        palette = ReadPalette(bytes, kHeaderPaletteAt, 16);
    }

    const ByteSpan data = bytes.subspan(kHeaderSize, dataEnd - kHeaderSize);
    std::vector<std::uint8_t> line(h.bytesPerLine * static_cast<std::size_t>(h.planes));
    // Two coded bytes give at most 63 decoded ones: far too little data is a
    // cut-off file, refused before the canvas is allocated.
    const std::size_t decodedBytes = line.size() * static_cast<std::size_t>(h.height);
    const std::size_t mostFromData = h.rle ? data.size() / 2 * kLongestRun + data.size() % 2 : data.size();
    if (mostFromData < decodedBytes) return false;

    ScanReader reader(data, h.rle);
    sink.Start(static_cast<int>(h.width), static_cast<int>(h.height));
    const std::size_t bpl = h.bytesPerLine;
    for (int y = 0; y < h.height; ++y) {
        if (!reader.Fill(line.data(), line.size())) return false;
        std::uint8_t* row = sink.Row(y);
        for (int x = 0; x < h.width; ++x) {
            const std::size_t ux = static_cast<std::size_t>(x);
            if (h.bitsPerPixel == 8 && h.planes >= 3) {
                const std::uint8_t a = h.planes == 4 ? line[3 * bpl + ux] : 255;
                PutPixel(row, x, line[ux], line[bpl + ux], line[2 * bpl + ux], a);
                continue;
            }
            std::size_t index = 0;
            if (h.bitsPerPixel == 8) {
                index = line[ux];
            } else if (h.bitsPerPixel == 4) {
                index = (ux % 2 == 0) ? line[ux / 2] >> 4 : line[ux / 2] & 0x0F;
            } else {
                for (int plane = 0; plane < h.planes; ++plane)
                    index |= static_cast<std::size_t>((line[plane * bpl + ux / 8] >> (7 - ux % 8)) & 1) << plane;
            }
            const auto& c = palette[index];
            PutPixel(row, x, c[0], c[1], c[2], 255);
        }
    }
    return true;
}

}  // namespace lumigrab::picture_detail
