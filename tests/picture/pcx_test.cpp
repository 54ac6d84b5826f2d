#include <gtest/gtest.h>

#include <functional>

#include "picture/picture.h"
#include "samples.h"

namespace lumigrab {
namespace {

using testing::Bytes8;
using testing::PcxLayout;
using testing::PixelAt;
using testing::Rgba;

std::vector<Rgba> Palette(int count) {
    std::vector<Rgba> palette;
    for (int i = 0; i < count; ++i)
        palette.push_back(Rgba{static_cast<std::uint8_t>(i * 3), static_cast<std::uint8_t>(255 - i),
                               static_cast<std::uint8_t>(i * 7), 255});
    return palette;
}

PcxLayout Pcx(int width, int height, int bitsPerPixel, int planes) {
    PcxLayout s;
    s.width = width;
    s.height = height;
    s.bitsPerPixel = bitsPerPixel;
    s.planes = planes;
    return s;
}

int LineBytes(const PcxLayout& s) { return ((s.width * s.bitsPerPixel + 7) / 8 + 1) / 2 * 2; }

// Lays out scan lines from per-pixel values: `value(x, y, plane)` gives the
// byte (8-bit) or the bits (1/4-bit) of one pixel in one plane.
void FillLines(PcxLayout& s, const std::function<int(int, int, int)>& value) {
    const int bpl = LineBytes(s);
    for (int y = 0; y < s.height; ++y) {
        Bytes8 line(static_cast<std::size_t>(bpl * s.planes), 0);
        for (int p = 0; p < s.planes; ++p)
            for (int x = 0; x < s.width; ++x) {
                const int v = value(x, y, p);
                const std::size_t bit = static_cast<std::size_t>(x) * s.bitsPerPixel;
                line[static_cast<std::size_t>(p * bpl) + bit / 8] |=
                    static_cast<std::uint8_t>(v << (8 - s.bitsPerPixel - bit % 8));
            }
        s.scanLines.push_back(line);
    }
}

struct PcxCase {
    const char* name;
    PcxLayout layout;
    std::function<Rgba(int, int)> expected;
};

std::vector<PcxCase> ValidCases() {
    std::vector<PcxCase> cases;
    {
        PcxLayout s = Pcx(5, 3, 8, 1);
        s.tailPalette = Palette(256);
        // Long runs of one index and values >= 0xC0 that need escaping.
        FillLines(s, [](int x, int y, int) { return y == 1 ? 0xC5 : (x < 3 ? 7 : 200 + x); });
        const auto pal = s.tailPalette;
        cases.push_back({"Palette256", s, [pal](int x, int y) {
                             return pal[static_cast<std::size_t>(y == 1 ? 0xC5 : (x < 3 ? 7 : 200 + x))];
                         }});
    }
    {
        PcxLayout s = Pcx(4, 2, 8, 3);
        FillLines(s, [](int x, int y, int p) { return p == 0 ? x * 60 : (p == 1 ? y * 100 : 0xC3); });
        cases.push_back({"Rgb24", s, [](int x, int y) {
                             return Rgba{static_cast<std::uint8_t>(x * 60), static_cast<std::uint8_t>(y * 100), 0xC3, 255};
                         }});
    }
    {
        PcxLayout s = Pcx(3, 2, 8, 4);
        FillLines(s, [](int x, int y, int p) { return p == 3 ? x * 100 : 10 * (p + 1) + y; });
        cases.push_back({"Rgba32", s, [](int x, int y) {
                             return Rgba{static_cast<std::uint8_t>(10 + y), static_cast<std::uint8_t>(20 + y),
                                         static_cast<std::uint8_t>(30 + y), static_cast<std::uint8_t>(x * 100)};
                         }});
    }
    {
        PcxLayout s = Pcx(11, 3, 1, 1);
        FillLines(s, [](int x, int y, int) { return (x + y) % 2; });
        cases.push_back({"Mono", s, [](int x, int y) {
                             const std::uint8_t v = (x + y) % 2 ? 255 : 0;
                             return Rgba{v, v, v, 255};
                         }});
    }
    {
        PcxLayout s = Pcx(5, 2, 4, 1);
        s.headerPalette = Palette(16);
        FillLines(s, [](int x, int y, int) { return (x + 5 * y) % 16; });
        const auto pal = s.headerPalette;
        cases.push_back({"Packed16", s, [pal](int x, int y) { return pal[static_cast<std::size_t>((x + 5 * y) % 16)]; }});
    }
    {
        PcxLayout s = Pcx(10, 2, 1, 4);
        s.headerPalette = Palette(16);
        FillLines(s, [](int x, int y, int p) { return (((x + y) % 16) >> p) & 1; });
        const auto pal = s.headerPalette;
        cases.push_back({"Planar16", s, [pal](int x, int y) { return pal[static_cast<std::size_t>((x + y) % 16)]; }});
    }
    {
        PcxLayout s = Pcx(4, 2, 8, 3);
        s.rle = false;
        FillLines(s, [](int x, int, int p) { return 0xC0 + x + p; });
        cases.push_back({"Uncompressed", s, [](int x, int) {
                             return Rgba{static_cast<std::uint8_t>(0xC0 + x), static_cast<std::uint8_t>(0xC1 + x),
                                         static_cast<std::uint8_t>(0xC2 + x), 255};
                         }});
    }
    {
        PcxLayout s = Pcx(4, 2, 8, 1);
        s.paletteInfo = 2;
        FillLines(s, [](int x, int y, int) { return x * 50 + y; });
        cases.push_back({"GrayWithoutPalette", s, [](int x, int y) {
                             const auto v = static_cast<std::uint8_t>(x * 50 + y);
                             return Rgba{v, v, v, 255};
                         }});
    }
    return cases;
}

void ExpectImage(const Image& image, int width, int height, const std::function<Rgba(int, int)>& expected) {
    ASSERT_EQ(image.width, width);
    ASSERT_EQ(image.height, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            EXPECT_EQ(PixelAt(image, x, y), expected(x, y))
                << x << "," << y << " got " << testing::Describe(PixelAt(image, x, y));
}

TEST(Pcx, DecodesEveryLayout) {
    for (const PcxCase& c : ValidCases()) {
        SCOPED_TRACE(c.name);
        const auto image = DecodePicture(testing::MakePcx(c.layout));
        ASSERT_TRUE(image.has_value());
        ExpectImage(*image, c.layout.width, c.layout.height, c.expected);
    }
}

TEST(Pcx, TruncatedBodiesAreRefused) {
    for (const PcxCase& c : ValidCases()) {
        const Bytes8 pcx = testing::MakePcx(c.layout);
        // The tail palette is found from the end, so any cut loses it or the scans.
        for (std::size_t n = 0; n < pcx.size(); ++n)
            ASSERT_FALSE(IsPicture(std::span(pcx).first(n))) << c.name << " cut at " << n;
    }
}

TEST(Pcx, RunsMayCrossScanLines) {
    PcxLayout s = Pcx(4, 2, 8, 1);
    s.tailPalette = Palette(256);
    Bytes8 pcx = testing::MakePcx(s);  // no scan lines yet
    const Bytes8 runs = {0xC8, 9};     // eight bytes of index 9: both lines at once
    pcx.insert(pcx.begin() + 128, runs.begin(), runs.end());
    const auto image = DecodePicture(pcx);
    ASSERT_TRUE(image.has_value());
    ExpectImage(*image, 4, 2, [&](int, int) { return s.tailPalette[9]; });
}

TEST(Pcx, ScansMustNotReadIntoThePalette) {
    // One line short: the decoder must not take the 0x0C marker and palette
    // bytes as the missing scan data.
    PcxLayout s = Pcx(4, 3, 8, 1);
    s.tailPalette = Palette(256);
    FillLines(s, [](int x, int, int) { return x; });
    s.scanLines.pop_back();
    EXPECT_FALSE(IsPicture(testing::MakePcx(s)));
}

TEST(Pcx, HostileHeadersAreRefused) {
    PcxLayout s = Pcx(4, 2, 8, 3);
    FillLines(s, [](int x, int, int) { return x; });
    const Bytes8 good = testing::MakePcx(s);
    ASSERT_TRUE(IsPicture(good));
    auto put16 = [](Bytes8& b, std::size_t at, int v) {
        b[at] = static_cast<std::uint8_t>(v);
        b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    const testing::Damage cases[] = {
        {"TwentyThousandSquare", [&](Bytes8& b) { put16(b, 8, 19999); put16(b, 10, 19999); put16(b, 66, 20000); }},
        {"SideBeyondLimit", [&](Bytes8& b) { put16(b, 8, kMaxPictureSide); put16(b, 66, kMaxPictureSide + 2); }},
        {"MaxBelowMin", [&](Bytes8& b) { put16(b, 4, 5); }},
        {"LineShorterThanWidth", [&](Bytes8& b) { put16(b, 66, 3); }},
        {"LineFarLongerThanWidth", [&](Bytes8& b) { put16(b, 66, 60000); }},
        {"UnknownEncoding", [&](Bytes8& b) { b[2] = 2; }},
        {"TwoBitsPerPixel", [&](Bytes8& b) { b[3] = 2; }},
        {"ZeroPlanes", [&](Bytes8& b) { b[65] = 0; }},
        {"TwoPlanesOfEightBits", [&](Bytes8& b) { b[65] = 2; }},
        {"PaletteMarkerMissing", [&](Bytes8& b) { b[65] = 1; }},
    };
    testing::ExpectEachDamageRefused(good, cases);
}

}  // namespace
}  // namespace lumigrab
