#pragma once
// Shared pieces of the format decoders. Each decoder is handed the whole body
// and answers with an image or nothing; none of them checks the signature
// again beyond what its own parsing needs.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "picture/picture.h"

namespace lumigrab::picture_detail {

using ByteSpan = std::span<const std::uint8_t>;

std::optional<Image> DecodeJpeg(ByteSpan bytes);
std::optional<Image> DecodePng(ByteSpan bytes);
std::optional<Image> DecodeGif(ByteSpan bytes);
std::optional<Image> DecodeBmp(ByteSpan bytes);
// Icons and cursors share one layout; only the type word differs.
std::optional<Image> DecodeIcon(ByteSpan bytes, std::uint16_t type);
std::optional<Image> DecodePcx(ByteSpan bytes);

// A device-independent bitmap: the info header, masks, palette and pixels as
// found in a BMP file after its 14-byte file header, or as an icon entry.
// `pixelOffset` is where the pixels start within `dib` when a file header
// says so; otherwise they follow the palette. Icon entries store twice the
// height and an AND mask after the colour pixels.
std::optional<Image> DecodeDib(ByteSpan dib, std::optional<std::size_t> pixelOffset, bool iconEntry);

// Header dimensions are checked with this before a single pixel is allocated.
bool FitsLimits(std::int64_t width, std::int64_t height);

// A transparent black canvas; the caller has checked FitsLimits.
Image BlankImage(int width, int height);

inline void PutPixel(Image& image, int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b,
                     std::uint8_t a) {
    std::uint8_t* p = image.rgba.data() + (static_cast<std::size_t>(y) * image.width + x) * 4;
    p[0] = r;
    p[1] = g;
    p[2] = b;
    p[3] = a;
}

// Little-endian reads that refuse to step past the end instead of trusting
// offsets taken from the file.
inline bool HasBytes(ByteSpan bytes, std::size_t offset, std::size_t count) {
    return offset <= bytes.size() && count <= bytes.size() - offset;
}
inline std::uint16_t U16(ByteSpan b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint32_t U32(ByteSpan b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline std::int32_t S32(ByteSpan b, std::size_t at) { return static_cast<std::int32_t>(U32(b, at)); }

}  // namespace lumigrab::picture_detail
