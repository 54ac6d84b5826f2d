#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "picture/picture.h"
#include "samples.h"

namespace lumigrab {
namespace {

using testing::Bytes8;
using testing::DibLayout;
using testing::PixelAt;
using testing::Rgba;
using Rows = std::vector<std::vector<std::uint32_t>>;

Rgba Color(int x, int y) {
    return Rgba{static_cast<std::uint8_t>(x * 50), static_cast<std::uint8_t>(y * 80),
                static_cast<std::uint8_t>((x + y) * 20), 255};
}
std::uint32_t Packed24(const Rgba& c) { return (std::uint32_t{c.r} << 16) | (std::uint32_t{c.g} << 8) | c.b; }

std::vector<Rgba> Palette(int count) {
    std::vector<Rgba> palette;
    for (int i = 0; i < count; ++i)
        palette.push_back(Rgba{static_cast<std::uint8_t>(i * 37), static_cast<std::uint8_t>(255 - i),
                               static_cast<std::uint8_t>(i * 11), 255});
    return palette;
}

Rows Build(int width, int height, const std::function<std::uint32_t(int, int)>& value) {
    Rows rows(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) rows[static_cast<std::size_t>(y)].push_back(value(x, y));
    return rows;
}

DibLayout Dib(int width, int height, int bitsPerPixel, std::uint32_t compression = 0) {
    DibLayout s;
    s.width = width;
    s.height = height;
    s.bitsPerPixel = bitsPerPixel;
    s.compression = compression;
    return s;
}

struct BmpCase {
    const char* name;
    DibLayout layout;
    std::function<Rgba(int, int)> expected;
};

std::vector<BmpCase> ValidCases() {
    std::vector<BmpCase> cases;
    const auto index = [](int mod) { return [mod](int x, int y) { return static_cast<std::uint32_t>((x + 3 * y) % mod); }; };
    const auto paletted = [&](int mod, const std::vector<Rgba>& pal) {
        return [mod, pal](int x, int y) { return pal[static_cast<std::size_t>((x + 3 * y) % mod)]; };
    };
    {
        DibLayout s = Dib(5, 3, 24);
        s.pixels = testing::PackRows(Build(5, 3, [](int x, int y) { return Packed24(Color(x, y)); }), 24, false);
        cases.push_back({"Rgb24BottomUp", s, Color});
    }
    {
        DibLayout s = Dib(5, -3, 24);
        s.pixels = testing::PackRows(Build(5, 3, [](int x, int y) { return Packed24(Color(x, y)); }), 24, true);
        cases.push_back({"Rgb24TopDown", s, Color});
    }
    for (int bpp : {1, 2, 4, 8}) {
        const int colors = 1 << bpp;
        DibLayout s = Dib(13, 4, bpp);
        s.palette = Palette(colors);
        s.pixels = testing::PackRows(Build(13, 4, index(colors)), bpp, false);
        static const char* names[] = {"", "Palette1", "Palette2", "", "Palette4", "", "", "", "Palette8"};
        cases.push_back({names[bpp], s, paletted(colors, s.palette)});
    }
    {
        // A short palette: indexes past its end show black.
        DibLayout s = Dib(6, 2, 8);
        s.palette = Palette(3);
        s.colorsUsed = 3;
        s.pixels = testing::PackRows(Build(6, 2, index(5)), 8, false);
        const auto pal = s.palette;
        cases.push_back({"ShortPalette", s, [pal](int x, int y) {
                             const int i = (x + 3 * y) % 5;
                             return i < 3 ? pal[static_cast<std::size_t>(i)] : Rgba{0, 0, 0, 255};
                         }});
    }
    {
        // Colour count left at 0 but only five entries stored before the pixels.
        DibLayout s = Dib(6, 2, 8);
        s.palette = Palette(5);
        s.pixels = testing::PackRows(Build(6, 2, index(5)), 8, false);
        cases.push_back({"PaletteEndsAtPixelOffset", s, paletted(5, s.palette)});
    }
    {
        DibLayout s = Dib(3, 2, 8);
        s.headerSize = 12;
        s.palette = Palette(256);
        s.pixels = testing::PackRows(Build(3, 2, index(7)), 8, false);
        cases.push_back({"CoreHeader", s, paletted(7, s.palette)});
    }
    {
        DibLayout s = Dib(3, 2, 16);
        s.pixels = testing::PackRows(Build(3, 2, [](int x, int y) { return static_cast<std::uint32_t>((31 << 10) * (x % 2) | (y * 31) << 5 | x * 10); }), 16, false);
        cases.push_back({"Rgb555", s, [](int x, int y) {
                             const auto b = static_cast<std::uint8_t>((x * 10 * 255 + 15) / 31);
                             return Rgba{static_cast<std::uint8_t>(x % 2 ? 255 : 0), static_cast<std::uint8_t>(y ? 255 : 0), b, 255};
                         }});
    }
    {
        DibLayout s = Dib(3, 2, 16);
        s.compression = 3;
        s.masks = {0xF800, 0x07E0, 0x001F};
        s.pixels = testing::PackRows(Build(3, 2, [](int x, int y) { return static_cast<std::uint32_t>((x == 1 ? 0xF800 : 0) | (y == 1 ? 0x07E0 : 0) | (x == 2 ? 0x001F : 0)); }), 16, false);
        cases.push_back({"Bitfields565", s, [](int x, int y) {
                             return Rgba{static_cast<std::uint8_t>(x == 1 ? 255 : 0), static_cast<std::uint8_t>(y == 1 ? 255 : 0),
                                         static_cast<std::uint8_t>(x == 2 ? 255 : 0), 255};
                         }});
    }
    {
        // The fourth byte of plain 32-bit pixels is reserved: never alpha.
        DibLayout s = Dib(4, 2, 32);
        s.pixels = testing::PackRows(Build(4, 2, [](int x, int y) { return 0x11000000u | Packed24(Color(x, y)); }), 32, false);
        cases.push_back({"Rgb32ReservedByteIgnored", s, Color});
    }
    {
        DibLayout s = Dib(4, 2, 32);
        s.compression = 3;
        s.headerSize = 108;
        s.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
        s.pixels = testing::PackRows(Build(4, 2, [](int x, int y) { return (static_cast<std::uint32_t>(x * 60) << 24) | Packed24(Color(x, y)); }), 32, false);
        cases.push_back({"V4WithAlphaMask", s, [](int x, int y) {
                             Rgba c = Color(x, y);
                             c.a = static_cast<std::uint8_t>(x * 60);
                             return c;
                         }});
    }
    return cases;
}

void ExpectImage(const Image& image, int width, int height, const std::function<Rgba(int, int)>& expected) {
    ASSERT_EQ(image.width, width);
    ASSERT_EQ(image.height, height);
    ASSERT_EQ(image.rgba.size(), static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            EXPECT_EQ(PixelAt(image, x, y), expected(x, y))
                << x << "," << y << " got " << testing::Describe(PixelAt(image, x, y)) << " want "
                << testing::Describe(expected(x, y));
}

TEST(Bmp, DecodesEveryPixelLayout) {
    for (const BmpCase& c : ValidCases()) {
        SCOPED_TRACE(c.name);
        const auto image = DecodePicture(testing::MakeBmp(c.layout));
        ASSERT_TRUE(image.has_value());
        ExpectImage(*image, c.layout.width, std::abs(c.layout.height), c.expected);
    }
}

// Every cut short of the last row's padding must be refused.
TEST(Bmp, TruncatedBodiesAreRefused) {
    for (const BmpCase& c : ValidCases()) {
        const Bytes8 bmp = testing::MakeBmp(c.layout);
        const std::size_t rowBytes = (std::size_t(c.layout.width) * c.layout.bitsPerPixel + 7) / 8;
        const std::size_t padding = (4 - rowBytes % 4) % 4;
        for (std::size_t n = 0; n + padding < bmp.size(); ++n)
            ASSERT_FALSE(IsPicture(std::span(bmp).first(n))) << c.name << " cut at " << n;
        EXPECT_TRUE(IsPicture(std::span(bmp).first(bmp.size() - padding))) << c.name;
    }
}

Bytes8 Rle8Sample() {
    return {
        3, 1, 0, 3, 2, 3, 1, 0, 0, 0,  // bottom row: run of three, absolute run of three (padded)
        0, 2, 2, 0, 2, 3, 0, 0,        // middle row: skip two pixels, run of two
        6, 2, 0, 1,                    // top row: run of six, end of bitmap
    };
}

TEST(Bmp, Rle8RunsAbsoluteRunsAndDeltas) {
    DibLayout s = Dib(6, 3, 8, 1);
    s.palette = Palette(4);
    s.colorsUsed = 4;
    s.pixels = Rle8Sample();
    const auto image = DecodePicture(testing::MakeBmp(s));
    ASSERT_TRUE(image.has_value());
    const Rgba none{0, 0, 0, 0};
    const std::vector<std::vector<Rgba>> want = {
        {s.palette[2], s.palette[2], s.palette[2], s.palette[2], s.palette[2], s.palette[2]},
        {none, none, s.palette[3], s.palette[3], none, none},
        {s.palette[1], s.palette[1], s.palette[1], s.palette[2], s.palette[3], s.palette[1]},
    };
    ExpectImage(*image, 6, 3, [&](int x, int y) { return want[y][x]; });
}

TEST(Bmp, Rle4RunsAlternateNibbles) {
    DibLayout s = Dib(5, 2, 4, 2);
    s.palette = Palette(16);
    s.pixels = {5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 1};
    const auto image = DecodePicture(testing::MakeBmp(s));
    ASSERT_TRUE(image.has_value());
    const int want[2][5] = {{3, 4, 5, 6, 7}, {1, 2, 1, 2, 1}};
    ExpectImage(*image, 5, 2, [&](int x, int y) { return s.palette[static_cast<std::size_t>(want[y][x])]; });
}

TEST(Bmp, RleEndingWithoutEndMarkAfterLastRowIsAccepted) {
    DibLayout s = Dib(2, 2, 8, 1);
    s.palette = Palette(4);
    s.colorsUsed = 4;
    s.pixels = {2, 1, 0, 0, 2, 3, 0, 0};
    EXPECT_TRUE(IsPicture(testing::MakeBmp(s)));
}

TEST(Bmp, RleCutBeforeLastRowIsRefused) {
    DibLayout s = Dib(6, 3, 8, 1);
    s.palette = Palette(4);
    s.colorsUsed = 4;
    Bytes8 rle = Rle8Sample();
    for (std::size_t n : {std::size_t{0}, std::size_t{3}, std::size_t{10}, std::size_t{17}, rle.size() - 2}) {
        s.pixels.assign(rle.begin(), rle.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(IsPicture(testing::MakeBmp(s))) << n;
    }
}

TEST(Bmp, RleRunsPastTheEdgeStayInside) {
    // Runs and deltas that point far outside the picture are clipped, not written.
    DibLayout s = Dib(2, 2, 8, 1);
    s.palette = Palette(4);
    s.colorsUsed = 4;
    s.pixels = {255, 1, 0, 2, 255, 255, 255, 2, 0, 0, 0, 1};
    const auto image = DecodePicture(testing::MakeBmp(s));
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(PixelAt(*image, 1, 1), s.palette[1]);
}

TEST(Bmp, HostileHeadersAreRefused) {
    DibLayout s = Dib(4, 4, 8);
    s.palette = Palette(256);
    s.pixels = testing::PackRows(Build(4, 4, [](int x, int y) { return static_cast<std::uint32_t>(x + y); }), 8, false);
    const Bytes8 good = testing::MakeBmp(s);
    ASSERT_TRUE(IsPicture(good));
    auto put32 = [](Bytes8& b, std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    const testing::Damage cases[] = {
        {"TwentyThousandSquare", [&](Bytes8& b) { put32(b, 18, 20000); put32(b, 22, 20000); }},
        {"SideBeyondLimit", [&](Bytes8& b) { put32(b, 18, kMaxPictureSide + 1); put32(b, 22, 1); }},
        {"ZeroWidth", [&](Bytes8& b) { put32(b, 18, 0); }},
        {"NegativeWidth", [&](Bytes8& b) { put32(b, 18, static_cast<std::uint32_t>(-4)); }},
        {"MostNegativeHeight", [&](Bytes8& b) { put32(b, 22, static_cast<std::uint32_t>(INT_MIN)); }},
        {"ZeroBitsPerPixel", [&](Bytes8& b) { b[28] = 0; }},
        {"SixtyFourBitsPerPixel", [&](Bytes8& b) { b[28] = 64; }},
        {"JpegCompression", [&](Bytes8& b) { put32(b, 30, 4); }},
        {"PngCompression", [&](Bytes8& b) { put32(b, 30, 5); }},
        {"Rle4On8Bit", [&](Bytes8& b) { put32(b, 30, 2); }},
        {"TooManyColours", [&](Bytes8& b) { put32(b, 46, 257); }},
        {"HeaderSizeHuge", [&](Bytes8& b) { put32(b, 14, 0xFFFFFFFF); }},
        {"HeaderSizeTiny", [&](Bytes8& b) { put32(b, 14, 8); }},
        {"PixelOffsetPastEnd", [&](Bytes8& b) { put32(b, 10, static_cast<std::uint32_t>(b.size() + 1)); }},
        {"PixelOffsetInsideFileHeader", [&](Bytes8& b) { put32(b, 10, 3); }},
        {"PixelOffsetNearEnd", [&](Bytes8& b) { put32(b, 10, static_cast<std::uint32_t>(b.size() - 4)); }},
    };
    testing::ExpectEachDamageRefused(good, cases);
}

}  // namespace
}  // namespace lumigrab
