#pragma once
// Sample pictures for the decoder tests, made on the spot: JPEG, PNG and GIF
// through the libraries' encoders, BMP, icons and PCX assembled byte by byte.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "picture/picture.h"

namespace lumigrab::testing {

using Bytes8 = std::vector<std::uint8_t>;

// One way of damaging a valid file, named for the failure message.
struct Damage {
    const char* name;
    std::function<void(Bytes8&)> apply;
};

// Applies each damage to its own copy of `good` and expects the result refused.
void ExpectEachDamageRefused(const Bytes8& good, std::span<const Damage> damages);

struct Rgba {
    std::uint8_t r = 0, g = 0, b = 0, a = 255;
    bool operator==(const Rgba&) const = default;
};

Rgba PixelAt(const Image& image, int x, int y);
std::string Describe(const Rgba& c);

// A recognisable pattern: distinct, widely spaced colours per 8x8 block, so
// lossy JPEG still lands near the expected value in each block's middle.
Rgba PatternColor(int x, int y);

// --- JPEG ------------------------------------------------------------------
struct JpegOptions {
    bool grayscale = false;
    bool progressive = false;
    bool cmykInverted = false;  // Adobe-style CMYK from the RGB pattern
    int quality = 95;
};
Bytes8 MakeJpeg(int width, int height, const JpegOptions& options = {});
// Rewrites the size in the frame header (baseline or progressive) of a
// MakeJpeg file; the coded data stays that of the real size.
void SetJpegFrameSize(Bytes8& jpeg, int width, int height);

// --- PNG -------------------------------------------------------------------
enum class PngKind { Rgba8, Rgb16, Gray8, Palette4WithTrns, Gray1 };
Bytes8 MakePng(int width, int height, PngKind kind, bool interlaced = false);
// The colour MakePng stores at (x, y) for each kind, as RGBA.
Rgba PngColor(PngKind kind, int x, int y);
// Recomputes the CRC of the chunk whose type starts at `typeAt`.
void FixPngChunkCrc(Bytes8& png, std::size_t typeAt);
std::size_t FindPngChunk(const Bytes8& png, const char* type);  // offset of the type, or npos

// --- GIF -------------------------------------------------------------------
struct GifFrame {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    std::vector<Rgba> localColors;     // empty: use the global table
    std::vector<std::uint8_t> indexes; // width * height, row by row, top down
    int transparentIndex = -1;         // -1: no graphic control block
};
struct GifLayout {
    int screenWidth = 0, screenHeight = 0;
    std::vector<Rgba> globalColors;  // empty: no global table
    std::vector<GifFrame> frames;
};
Bytes8 MakeGif(const GifLayout& layout);

// --- BMP / DIB ---------------------------------------------------------------
struct DibLayout {
    int width = 0;
    int height = 0;        // negative: top-down rows
    int bitsPerPixel = 24;
    std::uint32_t compression = 0;
    std::uint32_t headerSize = 40;
    std::vector<std::uint32_t> masks;  // after the header (info) or inside it (V4)
    std::vector<Rgba> palette;
    std::uint32_t colorsUsed = 0;
    Bytes8 pixels;                    // already laid out as the file stores them
};
Bytes8 MakeDib(const DibLayout& layout);
Bytes8 MakeBmp(const DibLayout& layout);
// Packs rows (given top-down, one value per pixel) into the stored layout:
// padding to four bytes and bottom-up order unless `topDown`.
Bytes8 PackRows(const std::vector<std::vector<std::uint32_t>>& rows, int bitsPerPixel, bool topDown);

// --- Icons -------------------------------------------------------------------
struct IconEntryLayout {
    int width = 0, height = 0, bitCount = 0;
    Bytes8 data;  // a DIB (with doubled height and AND mask) or a PNG
};
Bytes8 MakeIcon(std::uint16_t type, const std::vector<IconEntryLayout>& entries);

// --- PCX -------------------------------------------------------------------
struct PcxLayout {
    int width = 0, height = 0;
    int bitsPerPixel = 8, planes = 1;
    int bytesPerLine = 0;  // 0: the smallest even count
    bool rle = true;
    int paletteInfo = 1;
    std::vector<Rgba> headerPalette;  // up to 16
    std::vector<Rgba> tailPalette;    // 256 entries appended with the 0x0C marker
    std::vector<Bytes8> scanLines;    // per row: all planes, bytesPerLine each
};
Bytes8 MakePcx(const PcxLayout& layout);
Bytes8 PcxEncodeRuns(std::span<const std::uint8_t> raw);

// --- Sets --------------------------------------------------------------------
struct NamedSample {
    const char* name;
    Bytes8 bytes;
};
// A small valid file of each format and of each layout that takes its own
// path through a decoder.
std::vector<NamedSample> EveryFormatSamples();
// Small files that claim huge pictures: a GIF whose 8192x8192 logical screen
// holds one 1x1 frame, an 8000x8000 1-bit PNG, an 8000x8000 grey
// progressive JPEG and a 16x16 progressive CMYK JPEG whose frame says
// 8192x8192. Valid, and accepted, but costly to decode whole.
std::vector<NamedSample> HugeClaimSamples();

}  // namespace lumigrab::testing
