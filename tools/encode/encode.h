#pragma once
// Picture files written in memory through libjpeg, libpng and giflib, for the
// stand-in's bodies, the decoder tests' samples and the benches. Callers give
// the pixels; these only drive the encoders, each handle owned and released.
// On any encoder failure (only running out of memory, or a layout the
// library refuses) the result is empty.
#include <cstdint>
#include <span>
#include <vector>

namespace lumigrab::encode {

using Bytes = std::vector<std::uint8_t>;

struct Color {
    std::uint8_t r = 0, g = 0, b = 0;
};

// --- JPEG ------------------------------------------------------------------
enum class JpegColor { Gray, Rgb, Cmyk };
struct JpegSettings {
    int width = 0;
    int height = 0;
    JpegColor color = JpegColor::Rgb;
    int quality = 85;
    bool progressive = false;
    // Every component at full resolution, so small blocks keep their colour.
    bool fullChroma = false;
};
// `samples` holds width x height pixels row by row, 1, 3 or 4 per pixel.
Bytes Jpeg(const JpegSettings& settings, std::span<const std::uint8_t> samples);

// --- PNG -------------------------------------------------------------------
enum class PngColor { Gray, Rgb, Palette, RgbAlpha };
struct PngSettings {
    int width = 0;
    int height = 0;
    PngColor color = PngColor::Rgb;
    int bitDepth = 8;
    bool interlaced = false;
    std::vector<Color> palette;                // Palette only
    std::vector<std::uint8_t> paletteAlpha;    // a tRNS chunk when not empty
};
// One packed row per line as the file stores it (before filtering).
Bytes Png(const PngSettings& settings, const std::vector<Bytes>& rows);

// --- GIF -------------------------------------------------------------------
struct GifFrame {
    int left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    std::vector<Color> localColors;     // empty: use the global table
    std::vector<std::uint8_t> indexes;  // width * height, row by row, top down
    int transparentIndex = -1;          // -1: no graphic control block
};
struct GifPicture {
    int screenWidth = 0, screenHeight = 0;
    std::vector<Color> globalColors;  // empty: no global table
    std::vector<GifFrame> frames;
};
Bytes Gif(const GifPicture& picture);

}  // namespace lumigrab::encode
