#include "samples.h"

#include <cstring>
#include <sstream>

#include <zlib.h>

#include <gtest/gtest.h>

#include "tools/encode/encode.h"

namespace lumigrab::testing {

Rgba PixelAt(const Image& image, int x, int y) {
    const std::size_t at = (static_cast<std::size_t>(y) * image.width + x) * 4;
    return Rgba{image.rgba[at], image.rgba[at + 1], image.rgba[at + 2], image.rgba[at + 3]};
}

std::string Describe(const Rgba& c) {
    std::ostringstream out;
    out << "(" << int{c.r} << "," << int{c.g} << "," << int{c.b} << "," << int{c.a} << ")";
    return out.str();
}

Rgba PatternColor(int x, int y) {
    const int bx = x / 8, by = y / 8;
    return Rgba{static_cast<std::uint8_t>(((bx + by) % 3) * 120),
                static_cast<std::uint8_t>((bx % 2) * 200 + 20),
                static_cast<std::uint8_t>((by % 2) * 200 + 30), 255};
}

// --- JPEG ------------------------------------------------------------------

Bytes8 MakeJpeg(int width, int height, const JpegOptions& options) {
    const encode::JpegColor color = options.grayscale      ? encode::JpegColor::Gray
                                    : options.cmykInverted ? encode::JpegColor::Cmyk
                                                           : encode::JpegColor::Rgb;
    Bytes8 samples;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgba c = PatternColor(x, y);
            if (options.grayscale) {
                samples.push_back(c.g);
            } else if (options.cmykInverted) {
                samples.insert(samples.end(), {c.r, c.g, c.b, 255});
            } else {
                samples.insert(samples.end(), {c.r, c.g, c.b});
            }
        }
    }
    return encode::Jpeg({.width = width,
                         .height = height,
                         .color = color,
                         .quality = options.quality,
                         .progressive = options.progressive,
                         .fullChroma = true},
                        samples);
}

void SetJpegFrameSize(Bytes8& jpeg, int width, int height) {
    for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
        if (jpeg[i] != 0xFF || (jpeg[i + 1] != 0xC0 && jpeg[i + 1] != 0xC2)) continue;
        jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
        jpeg[i + 6] = static_cast<std::uint8_t>(height);
        jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
        jpeg[i + 8] = static_cast<std::uint8_t>(width);
        return;
    }
    ADD_FAILURE() << "no frame header";
}

// --- PNG -------------------------------------------------------------------

namespace {

Rgba PaletteEntry(int i) {
    return Rgba{static_cast<std::uint8_t>(i * 16), static_cast<std::uint8_t>(255 - i * 16),
                static_cast<std::uint8_t>(i * 8), static_cast<std::uint8_t>(i == 0 ? 0 : (i == 1 ? 128 : 255))};
}

encode::PngSettings PngLayout(int width, int height, PngKind kind, bool interlaced) {
    encode::PngSettings settings;
    settings.width = width;
    settings.height = height;
    settings.interlaced = interlaced;
    switch (kind) {
        case PngKind::Rgba8: settings.color = encode::PngColor::RgbAlpha; break;
        case PngKind::Rgb16: settings.bitDepth = 16; break;
        case PngKind::Gray8: settings.color = encode::PngColor::Gray; break;
        case PngKind::Palette4WithTrns:
            settings.color = encode::PngColor::Palette;
            settings.bitDepth = 4;
            for (int i = 0; i < 16; ++i) {
                const Rgba c = PaletteEntry(i);
                settings.palette.push_back({c.r, c.g, c.b});
                settings.paletteAlpha.push_back(c.a);
            }
            break;
        case PngKind::Gray1:
            settings.color = encode::PngColor::Gray;
            settings.bitDepth = 1;
            break;
    }
    return settings;
}

}  // namespace

Rgba PngColor(PngKind kind, int x, int y) {
    switch (kind) {
        case PngKind::Rgba8: {
            Rgba c = PatternColor(x, y);
            c.a = static_cast<std::uint8_t>((x * 30 + y * 7) % 256);
            return c;
        }
        case PngKind::Rgb16: return PatternColor(x + 3, y + 5);
        case PngKind::Gray8: {
            const auto v = static_cast<std::uint8_t>((x * 16 + y * 8) & 0xFF);
            return Rgba{v, v, v, 255};
        }
        case PngKind::Palette4WithTrns: return PaletteEntry((x + y) % 16);
        case PngKind::Gray1: {
            const auto v = static_cast<std::uint8_t>((x / 8 + y / 8) % 2 * 255);
            return Rgba{v, v, v, 255};
        }
    }
    return {};
}

Bytes8 MakePng(int width, int height, PngKind kind, bool interlaced) {
    std::vector<Bytes8> rows;
    for (int y = 0; y < height; ++y) {
        Bytes8 row;
        for (int x = 0; x < width; ++x) {
            const Rgba c = PngColor(kind, x, y);
            switch (kind) {
                case PngKind::Rgba8: row.insert(row.end(), {c.r, c.g, c.b, c.a}); break;
                case PngKind::Rgb16:
                    for (std::uint8_t v : {c.r, c.g, c.b}) row.insert(row.end(), {v, v});
                    break;
                case PngKind::Gray8: row.push_back(c.r); break;
                case PngKind::Palette4WithTrns: {
                    const auto index = static_cast<std::uint8_t>((x + y) % 16);
                    if (x % 2 == 0) row.push_back(static_cast<std::uint8_t>(index << 4));
                    else row.back() |= index;
                    break;
                }
                case PngKind::Gray1:
                    if (x % 8 == 0) row.push_back(0);
                    row.back() |= static_cast<std::uint8_t>((c.r & 1) << (7 - x % 8));
                    break;
            }
        }
        rows.push_back(std::move(row));
    }
    return encode::Png(PngLayout(width, height, kind, interlaced), rows);
}

std::size_t FindPngChunk(const Bytes8& png, const char* type) {
    std::size_t at = 8;
    while (at + 12 <= png.size()) {
        const std::size_t length = (std::size_t{png[at]} << 24) | (std::size_t{png[at + 1]} << 16) |
                                   (std::size_t{png[at + 2]} << 8) | png[at + 3];
        if (std::memcmp(png.data() + at + 4, type, 4) == 0) return at + 4;
        at += 12 + length;
    }
    return std::string::npos;
}

void FixPngChunkCrc(Bytes8& png, std::size_t typeAt) {
    const std::size_t lengthAt = typeAt - 4;
    const std::size_t length = (std::size_t{png[lengthAt]} << 24) | (std::size_t{png[lengthAt + 1]} << 16) |
                               (std::size_t{png[lengthAt + 2]} << 8) | png[lengthAt + 3];
    const uLong crc = crc32(0L, png.data() + typeAt, static_cast<uInt>(length + 4));
    const std::size_t crcAt = typeAt + 4 + length;
    png[crcAt] = static_cast<std::uint8_t>(crc >> 24);
    png[crcAt + 1] = static_cast<std::uint8_t>(crc >> 16);
    png[crcAt + 2] = static_cast<std::uint8_t>(crc >> 8);
    png[crcAt + 3] = static_cast<std::uint8_t>(crc);
}

// --- GIF -------------------------------------------------------------------

Bytes8 MakeGif(const GifLayout& layout) {
    auto colors = [](const std::vector<Rgba>& from) {
        std::vector<encode::Color> out;
        for (const Rgba& c : from) out.push_back({c.r, c.g, c.b});
        return out;
    };
    encode::GifPicture picture;
    picture.screenWidth = layout.screenWidth;
    picture.screenHeight = layout.screenHeight;
    picture.globalColors = colors(layout.globalColors);
    for (const GifFrame& frame : layout.frames) {
        picture.frames.push_back({.left = frame.left,
                                  .top = frame.top,
                                  .width = frame.width,
                                  .height = frame.height,
                                  .interlaced = frame.interlaced,
                                  .localColors = colors(frame.localColors),
                                  .indexes = frame.indexes,
                                  .transparentIndex = frame.transparentIndex});
    }
    return encode::Gif(picture);
}

// --- BMP / DIB ---------------------------------------------------------------

namespace {

void Put16(Bytes8& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes8& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

}  // namespace

Bytes8 MakeDib(const DibLayout& layout) {
    Bytes8 out;
    if (layout.headerSize == 12) {
        Put32(out, 12);
        Put16(out, static_cast<std::uint32_t>(layout.width));
        Put16(out, static_cast<std::uint32_t>(layout.height));
        Put16(out, 1);
        Put16(out, static_cast<std::uint32_t>(layout.bitsPerPixel));
    } else {
        Put32(out, layout.headerSize);
        Put32(out, static_cast<std::uint32_t>(layout.width));
        Put32(out, static_cast<std::uint32_t>(layout.height));
        Put16(out, 1);
        Put16(out, static_cast<std::uint32_t>(layout.bitsPerPixel));
        Put32(out, layout.compression);
        Put32(out, static_cast<std::uint32_t>(layout.pixels.size()));
        Put32(out, 2835);
        Put32(out, 2835);
        Put32(out, layout.colorsUsed);
        Put32(out, 0);
        for (std::uint32_t mask : layout.masks) Put32(out, mask);
        // Later header generations: pad out to the declared size.
        while (out.size() < layout.headerSize + (layout.headerSize == 40 ? layout.masks.size() * 4 : 0))
            out.push_back(0);
    }
    for (const Rgba& c : layout.palette) {
        out.insert(out.end(), {c.b, c.g, c.r});
        if (layout.headerSize != 12) out.push_back(0);
    }
    out.insert(out.end(), layout.pixels.begin(), layout.pixels.end());
    return out;
}

Bytes8 MakeBmp(const DibLayout& layout) {
    const Bytes8 dib = MakeDib(layout);
    Bytes8 out = {'B', 'M'};
    Put32(out, static_cast<std::uint32_t>(14 + dib.size()));
    Put32(out, 0);
    Put32(out, static_cast<std::uint32_t>(14 + dib.size() - layout.pixels.size()));
    out.insert(out.end(), dib.begin(), dib.end());
    return out;
}

Bytes8 PackRows(const std::vector<std::vector<std::uint32_t>>& rows, int bitsPerPixel, bool topDown) {
    Bytes8 out;
    const std::size_t count = rows.size();
    for (std::size_t i = 0; i < count; ++i) {
        const auto& row = rows[topDown ? i : count - 1 - i];
        Bytes8 packed;
        if (bitsPerPixel <= 8) {
            packed.assign((row.size() * bitsPerPixel + 7) / 8, 0);
            for (std::size_t x = 0; x < row.size(); ++x) {
                const std::size_t bit = x * bitsPerPixel;
                packed[bit / 8] |= static_cast<std::uint8_t>(row[x] << (8 - bitsPerPixel - bit % 8));
            }
        } else {
            for (std::uint32_t v : row) {
                if (bitsPerPixel == 16) Put16(packed, v);
                else if (bitsPerPixel == 24) packed.insert(packed.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16)});
                else Put32(packed, v);
            }
        }
        while (packed.size() % 4 != 0) packed.push_back(0);
        out.insert(out.end(), packed.begin(), packed.end());
    }
    return out;
}

// --- Icons -------------------------------------------------------------------

Bytes8 MakeIcon(std::uint16_t type, const std::vector<IconEntryLayout>& entries) {
    Bytes8 out;
    Put16(out, 0);
    Put16(out, type);
    Put16(out, static_cast<std::uint32_t>(entries.size()));
    std::size_t offset = 6 + 16 * entries.size();
    for (const IconEntryLayout& e : entries) {
        out.push_back(static_cast<std::uint8_t>(e.width == 256 ? 0 : e.width));
        out.push_back(static_cast<std::uint8_t>(e.height == 256 ? 0 : e.height));
        out.push_back(0);
        out.push_back(0);
        Put16(out, 1);
        Put16(out, static_cast<std::uint32_t>(e.bitCount));
        Put32(out, static_cast<std::uint32_t>(e.data.size()));
        Put32(out, static_cast<std::uint32_t>(offset));
        offset += e.data.size();
    }
    for (const IconEntryLayout& e : entries) out.insert(out.end(), e.data.begin(), e.data.end());
    return out;
}

// --- PCX -------------------------------------------------------------------

Bytes8 PcxEncodeRuns(std::span<const std::uint8_t> raw) {
    Bytes8 out;
    std::size_t i = 0;
    while (i < raw.size()) {
        std::size_t run = 1;
        while (i + run < raw.size() && raw[i + run] == raw[i] && run < 63) ++run;
        if (run > 1 || raw[i] >= 0xC0) out.push_back(static_cast<std::uint8_t>(0xC0 | run));
        out.push_back(raw[i]);
        i += run;
    }
    return out;
}

Bytes8 MakePcx(const PcxLayout& layout) {
    Bytes8 out(128, 0);
    out[0] = 0x0A;
    out[1] = 5;
    out[2] = layout.rle ? 1 : 0;
    out[3] = static_cast<std::uint8_t>(layout.bitsPerPixel);
    const int bytesPerLine =
        layout.bytesPerLine != 0 ? layout.bytesPerLine : ((layout.width * layout.bitsPerPixel + 7) / 8 + 1) / 2 * 2;
    auto put16 = [&](std::size_t at, int v) {
        out[at] = static_cast<std::uint8_t>(v);
        out[at + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    put16(8, layout.width - 1);
    put16(10, layout.height - 1);
    put16(12, 72);
    put16(14, 72);
    for (std::size_t i = 0; i < layout.headerPalette.size() && i < 16; ++i) {
        out[16 + i * 3] = layout.headerPalette[i].r;
        out[17 + i * 3] = layout.headerPalette[i].g;
        out[18 + i * 3] = layout.headerPalette[i].b;
    }
    out[65] = static_cast<std::uint8_t>(layout.planes);
    put16(66, bytesPerLine);
    put16(68, layout.paletteInfo);
    for (const Bytes8& line : layout.scanLines) {
        const Bytes8 coded = layout.rle ? PcxEncodeRuns(line) : line;
        out.insert(out.end(), coded.begin(), coded.end());
    }
    if (!layout.tailPalette.empty()) {
        out.push_back(0x0C);
        for (std::size_t i = 0; i < 256; ++i) {
            const Rgba c = i < layout.tailPalette.size() ? layout.tailPalette[i] : Rgba{};
            out.insert(out.end(), {c.r, c.g, c.b});
        }
    }
    return out;
}

void ExpectEachDamageRefused(const Bytes8& good, std::span<const Damage> damages) {
    for (const Damage& d : damages) {
        Bytes8 bytes = good;
        d.apply(bytes);
        EXPECT_FALSE(IsPicture(bytes)) << d.name;
    }
}

}  // namespace lumigrab::testing
