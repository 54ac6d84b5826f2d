// BMP files and the bitmaps inside icons, decoded by hand: every info-header
// generation (core, info, V2 to V5 and the OS/2 short forms), palettes of 1 to
// 8 bits, 16/24/32-bit pixels with or without bit masks, and RLE8/RLE4.
// Offsets and counts come from the file, so each one is checked against the
// bytes actually present before it is used.
#include <algorithm>
#include <array>
#include <bit>

#include "picture/decoders.h"

namespace lumigrab::picture_detail {
namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kOs2HeaderSize = 64;

enum Compression : std::uint32_t {
    kRgb = 0,
    kRle8 = 1,
    kRle4 = 2,
    kBitfields = 3,
    kAlphaBitfields = 6,
};

struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint32_t max = 0;

    static Channel From(std::uint32_t mask) {
        Channel c;
        if (mask == 0) return c;
        c.mask = mask;
        c.shift = std::countr_zero(mask);
        c.max = mask >> c.shift;
        return c;
    }
    // Scales the field to 0..255; a missing field reads as `absent`.
    std::uint8_t Extract(std::uint32_t pixel, std::uint8_t absent) const {
        if (max == 0) return absent;
        const std::uint64_t v = (pixel & mask) >> shift;
        return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
    }
};

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
};

struct DibHeader {
    std::int64_t width = 0;
    std::int64_t height = 0;  // rows of colour pixels, always positive here
    bool bottomUp = true;
    int bitsPerPixel = 0;
    std::uint32_t compression = kRgb;
    std::uint32_t colorsUsed = 0;
    std::size_t paletteOffset = 0;
    std::size_t paletteEntrySize = 4;
    Channel red, green, blue, alpha;
};

std::optional<DibHeader> ParseHeader(ByteSpan dib, bool iconEntry) {
    if (!HasBytes(dib, 0, 4)) return std::nullopt;
    const std::uint32_t headerSize = U32(dib, 0);
    DibHeader h;
    std::int64_t storedHeight = 0;
    if (headerSize == kCoreHeaderSize) {
        if (!HasBytes(dib, 0, kCoreHeaderSize)) return std::nullopt;
        h.width = U16(dib, 4);
        storedHeight = U16(dib, 6);
        h.bitsPerPixel = U16(dib, 10);
        h.paletteEntrySize = 3;
        h.paletteOffset = kCoreHeaderSize;
    } else {
        if (headerSize < 16 || !HasBytes(dib, 0, headerSize)) return std::nullopt;
        h.width = S32(dib, 4);
        storedHeight = S32(dib, 8);
        h.bitsPerPixel = U16(dib, 14);
        if (headerSize >= 20) h.compression = U32(dib, 16);
        if (headerSize >= 36) h.colorsUsed = U32(dib, 32);
        h.paletteOffset = headerSize;
        // OS/2 reuses these numbers for Huffman and RLE24, which we do not read.
        if (headerSize == kOs2HeaderSize && h.compression != kRgb && h.compression != kRle8 &&
            h.compression != kRle4)
            return std::nullopt;
        if (h.compression == kBitfields || h.compression == kAlphaBitfields) {
            std::size_t masksAt = 40;
            if (headerSize == kInfoHeaderSize) {
                // Masks follow a plain info header, ahead of the palette.
                h.paletteOffset += h.compression == kAlphaBitfields ? 16 : 12;
            } else if (headerSize < 52) {
                return std::nullopt;
            }
            const bool withAlpha =
                h.compression == kAlphaBitfields || (headerSize != kInfoHeaderSize && headerSize >= 56);
            if (!HasBytes(dib, masksAt, withAlpha ? 16 : 12)) return std::nullopt;
            h.red = Channel::From(U32(dib, masksAt));
            h.green = Channel::From(U32(dib, masksAt + 4));
            h.blue = Channel::From(U32(dib, masksAt + 8));
            if (withAlpha) h.alpha = Channel::From(U32(dib, masksAt + 12));
        }
    }

    if (iconEntry) {
        // The stored height covers the colour rows and the mask rows.
        if (storedHeight <= 0) return std::nullopt;
        h.height = storedHeight / 2;
    } else if (storedHeight < 0) {
        h.bottomUp = false;
        h.height = -storedHeight;
    } else {
        h.height = storedHeight;
    }
    if (!FitsLimits(h.width, h.height)) return std::nullopt;

    switch (h.compression) {
        case kRgb:
            if (h.bitsPerPixel != 1 && h.bitsPerPixel != 2 && h.bitsPerPixel != 4 &&
                h.bitsPerPixel != 8 && h.bitsPerPixel != 16 && h.bitsPerPixel != 24 &&
                h.bitsPerPixel != 32)
                return std::nullopt;
            if (h.bitsPerPixel == 16) {
                h.red = Channel::From(0x7C00);
                h.green = Channel::From(0x03E0);
                h.blue = Channel::From(0x001F);
            } else if (h.bitsPerPixel == 32) {
                h.red = Channel::From(0x00FF0000);
                h.green = Channel::From(0x0000FF00);
                h.blue = Channel::From(0x000000FF);
                // The fourth byte is "reserved" in plain bitmaps but carries
                // alpha in icons.
                if (iconEntry) h.alpha = Channel::From(0xFF000000);
            }
            break;
        case kRle8:
            if (h.bitsPerPixel != 8) return std::nullopt;
            break;
        case kRle4:
            if (h.bitsPerPixel != 4) return std::nullopt;
            break;
        case kBitfields:
        case kAlphaBitfields:
            if (h.bitsPerPixel != 16 && h.bitsPerPixel != 32) return std::nullopt;
            break;
        default: return std::nullopt;
    }
    if (h.bitsPerPixel <= 8) {
        if (h.colorsUsed > (1u << h.bitsPerPixel)) return std::nullopt;
        if (h.colorsUsed == 0) h.colorsUsed = 1u << h.bitsPerPixel;
    } else if (h.colorsUsed > 256) {
        return std::nullopt;
    }
    return h;
}

struct Palette {
    std::array<Rgb, 256> colors{};
    std::size_t count = 0;
    Rgb at(std::size_t index) const { return index < count ? colors[index] : Rgb{}; }
};

// `pixelOffset`, when the file gives one, bounds the palette: writers that
// leave the colour count at 0 sometimes store fewer entries than the depth
// allows, and the pixels then start where the short palette ends.
std::optional<Palette> ReadPalette(ByteSpan dib, const DibHeader& h, std::optional<std::size_t> pixelOffset) {
    Palette palette;
    if (h.bitsPerPixel > 8) return palette;
    std::size_t count = h.colorsUsed;
    if (pixelOffset && *pixelOffset >= h.paletteOffset)
        count = std::min(count, (*pixelOffset - h.paletteOffset) / h.paletteEntrySize);
    if (!HasBytes(dib, h.paletteOffset, count * h.paletteEntrySize)) return std::nullopt;
    palette.count = count;
    for (std::size_t i = 0; i < palette.count; ++i) {
        const std::size_t at = h.paletteOffset + i * h.paletteEntrySize;
        palette.colors[i] = Rgb{dib[at + 2], dib[at + 1], dib[at]};
    }
    return palette;
}

std::size_t RowStride(std::int64_t width, int bitsPerPixel) {
    return static_cast<std::size_t>((width * bitsPerPixel + 31) / 32 * 4);
}

int ImageRow(const DibHeader& h, std::int64_t fileRow) {
    return static_cast<int>(h.bottomUp ? h.height - 1 - fileRow : fileRow);
}

// The last row may lack its padding: several writers leave it off.
bool UncompressedPixelsPresent(ByteSpan dib, std::size_t offset, const DibHeader& h) {
    const std::size_t stride = RowStride(h.width, h.bitsPerPixel);
    const std::size_t rowBytes = static_cast<std::size_t>((h.width * h.bitsPerPixel + 7) / 8);
    return HasBytes(dib, offset, stride * static_cast<std::size_t>(h.height - 1) + rowBytes);
}

// Returns whether any pixel came out with a non-zero alpha.
bool ReadUncompressed(ByteSpan dib, std::size_t offset, const DibHeader& h, const Palette& palette,
                      RowSink& sink) {
    const std::size_t stride = RowStride(h.width, h.bitsPerPixel);
    const int bpp = h.bitsPerPixel;
    bool anyAlpha = false;
    for (std::int64_t fileRow = 0; fileRow < h.height; ++fileRow) {
        const std::size_t rowAt = offset + static_cast<std::size_t>(fileRow) * stride;
        std::uint8_t* row = sink.Row(ImageRow(h, fileRow));
        for (int x = 0; x < h.width; ++x) {
            if (bpp <= 8) {
                const std::size_t bit = static_cast<std::size_t>(x) * bpp;
                const int shift = 8 - bpp - static_cast<int>(bit % 8);
                const std::size_t index = (dib[rowAt + bit / 8] >> shift) & ((1u << bpp) - 1);
                const Rgb c = palette.at(index);
                PutPixel(row, x, c.r, c.g, c.b, 255);
            } else if (bpp == 24) {
                const std::size_t at = rowAt + static_cast<std::size_t>(x) * 3;
                PutPixel(row, x, dib[at + 2], dib[at + 1], dib[at], 255);
            } else {
                const std::size_t at = rowAt + static_cast<std::size_t>(x) * (bpp / 8);
                const std::uint32_t px = bpp == 16 ? U16(dib, at) : U32(dib, at);
                const std::uint8_t a = h.alpha.Extract(px, 255);
                anyAlpha = anyAlpha || a != 0;
                PutPixel(row, x, h.red.Extract(px, 0), h.green.Extract(px, 0), h.blue.Extract(px, 0), a);
            }
        }
    }
    return anyAlpha;
}

// Run-length data. Pixels the runs skip over (deltas, early line ends) stay
// transparent. Data that ends before the end-of-bitmap mark and before the
// last row is a truncated file. Rows only ever move forward, so each is
// finished before the next is begun.
bool ReadRle(ByteSpan dib, std::size_t offset, const DibHeader& h, const Palette& palette, RowSink& sink) {
    const bool four = h.compression == kRle4;
    std::int64_t x = 0;
    std::int64_t row = 0;
    std::int64_t sinkRowOf = -1;
    std::uint8_t* sinkRow = nullptr;
    std::size_t p = offset;
    auto put = [&](std::size_t index) {
        if (x < h.width && row < h.height) {
            if (sinkRowOf != row) {
                sinkRow = sink.Row(ImageRow(h, row));
                sinkRowOf = row;
            }
            const Rgb c = palette.at(index);
            PutPixel(sinkRow, static_cast<int>(x), c.r, c.g, c.b, 255);
        }
        ++x;
    };
    while (row < h.height) {
        if (!HasBytes(dib, p, 2)) return false;
        const std::uint8_t count = dib[p];
        const std::uint8_t value = dib[p + 1];
        p += 2;
        if (count > 0) {
            for (int i = 0; i < count; ++i)
                put(four ? ((i % 2 == 0) ? value >> 4 : value & 0x0F) : value);
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            ++row;
        } else if (value == 1) {  // end of bitmap
            return true;
        } else if (value == 2) {  // delta
            if (!HasBytes(dib, p, 2)) return false;
            x += dib[p];
            row += dib[p + 1];
            p += 2;
        } else {  // absolute run, padded to a 16-bit boundary
            const std::size_t bytes = four ? (value + 1u) / 2 : value;
            if (!HasBytes(dib, p, bytes)) return false;
            for (int i = 0; i < value; ++i) {
                const std::uint8_t b = dib[p + (four ? i / 2 : i)];
                put(four ? ((i % 2 == 0) ? b >> 4 : b & 0x0F) : b);
            }
            p += bytes + (bytes % 2);
        }
    }
    return true;
}

void MakeOpaque(const DibHeader& h, RowSink& sink) {
    for (int y = 0; y < h.height; ++y) {
        std::uint8_t* row = sink.Row(y);
        for (int x = 0; x < h.width; ++x) row[static_cast<std::size_t>(x) * 4 + 3] = 255;
    }
}

// The icon's AND mask: a set bit marks a transparent pixel. The caller has
// checked that it is all there.
void ApplyAndMask(ByteSpan dib, std::size_t offset, const DibHeader& h, RowSink& sink) {
    const std::size_t stride = RowStride(h.width, 1);
    for (std::int64_t fileRow = 0; fileRow < h.height; ++fileRow) {
        const std::size_t rowAt = offset + static_cast<std::size_t>(fileRow) * stride;
        std::uint8_t* row = sink.Row(ImageRow(h, fileRow));
        for (int x = 0; x < h.width; ++x) {
            if ((dib[rowAt + x / 8] >> (7 - x % 8)) & 1) row[static_cast<std::size_t>(x) * 4 + 3] = 0;
        }
    }
}

}  // namespace

bool ReadDib(ByteSpan dib, std::optional<std::size_t> pixelOffset, bool iconEntry, RowSink& sink) {
    const std::optional<DibHeader> header = ParseHeader(dib, iconEntry);
    if (!header) return false;
    const DibHeader& h = *header;
    const std::optional<Palette> palette = ReadPalette(dib, h, pixelOffset);
    if (!palette) return false;
    const std::size_t offset = pixelOffset.value_or(h.paletteOffset + std::size_t{h.colorsUsed} * h.paletteEntrySize);
    if (offset > dib.size()) return false;

    const bool rle = h.compression == kRle8 || h.compression == kRle4;
    if (rle && iconEntry) return false;  // no place for the AND mask

    // A cut-off file is refused before the canvas is allocated.
    if (!rle && !UncompressedPixelsPresent(dib, offset, h)) return false;

    sink.Start(static_cast<int>(h.width), static_cast<int>(h.height));
    bool anyAlpha = false;
    if (rle) {
        if (!ReadRle(dib, offset, h, *palette, sink)) return false;
    } else {
        anyAlpha = ReadUncompressed(dib, offset, h, *palette, sink);
    }
    const bool ownAlpha = h.alpha.max != 0 && anyAlpha;
    // An all-zero alpha means "unused".
    if (h.alpha.max != 0 && !ownAlpha && sink.KeepsPixels()) MakeOpaque(h, sink);
    if (iconEntry && !ownAlpha) {
        // The AND mask is required unless the colour pixels carry their own alpha.
        const std::size_t maskAt =
            offset + RowStride(h.width, h.bitsPerPixel) * static_cast<std::size_t>(h.height);
        if (!HasBytes(dib, maskAt, RowStride(h.width, 1) * static_cast<std::size_t>(h.height))) return false;
        if (sink.KeepsPixels()) ApplyAndMask(dib, maskAt, h, sink);
    }
    return true;
}

bool ReadBmp(ByteSpan bytes, RowSink& sink) {
    if (!HasBytes(bytes, 0, kFileHeaderSize)) return false;
    const std::uint32_t pixelsAt = U32(bytes, 10);
    std::optional<std::size_t> offset;
    // A zero offset is written by some tools; the pixels then follow the palette.
    if (pixelsAt != 0) {
        if (pixelsAt < kFileHeaderSize + kCoreHeaderSize) return false;
        offset = pixelsAt - kFileHeaderSize;
    }
    return ReadDib(bytes.subspan(kFileHeaderSize), offset, false, sink);
}

}  // namespace lumigrab::picture_detail
