#include <gtest/gtest.h>

#include <functional>

#include "picture/picture.h"
#include "samples.h"

namespace lumigrab {
namespace {

using testing::Bytes8;
using testing::DibLayout;
using testing::IconEntryLayout;
using testing::PixelAt;
using testing::Rgba;
using Rows = std::vector<std::vector<std::uint32_t>>;

// A square icon bitmap: colour rows from `color`, AND mask rows from `masked`
// (true = transparent). `withMask` false leaves the mask off entirely.
Bytes8 IconDib(int size, int bitsPerPixel, const std::function<std::uint32_t(int, int)>& color,
               const std::function<bool(int, int)>& masked, bool withMask = true,
               const std::vector<Rgba>& palette = {}) {
    Rows colors(static_cast<std::size_t>(size)), mask(static_cast<std::size_t>(size));
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            colors[static_cast<std::size_t>(y)].push_back(color(x, y));
            mask[static_cast<std::size_t>(y)].push_back(masked(x, y) ? 1 : 0);
        }
    DibLayout s;
    s.width = size;
    s.height = size * 2;
    s.bitsPerPixel = bitsPerPixel;
    s.palette = palette;
    s.colorsUsed = static_cast<std::uint32_t>(palette.size());
    s.pixels = testing::PackRows(colors, bitsPerPixel, false);
    if (withMask) {
        const Bytes8 andMask = testing::PackRows(mask, 1, false);
        s.pixels.insert(s.pixels.end(), andMask.begin(), andMask.end());
    }
    return testing::MakeDib(s);
}

std::uint32_t Rgb(int x, int y) { return static_cast<std::uint32_t>((x * 40) << 16 | (y * 40) << 8 | 0x80); }
Rgba RgbExpected(int x, int y, std::uint8_t alpha) {
    return Rgba{static_cast<std::uint8_t>(x * 40), static_cast<std::uint8_t>(y * 40), 0x80, alpha};
}
bool Diagonal(int x, int y) { return x == y; }
bool Never(int, int) { return false; }

TEST(Icon, AndMaskMakesPixelsTransparent) {
    const Bytes8 ico = testing::MakeIcon(1, {{4, 4, 24, IconDib(4, 24, Rgb, Diagonal)}});
    const auto image = DecodePicture(ico);
    ASSERT_TRUE(image.has_value());
    ASSERT_EQ(image->width, 4);
    ASSERT_EQ(image->height, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            if (x == y) EXPECT_EQ(PixelAt(*image, x, y).a, 0);
            else EXPECT_EQ(PixelAt(*image, x, y), RgbExpected(x, y, 255)) << x << "," << y;
        }
}

TEST(Icon, PalettedEntryWithMask) {
    const std::vector<Rgba> palette = {{0, 0, 0, 255}, {255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}};
    const Bytes8 dib = IconDib(
        8, 4, [](int x, int y) { return static_cast<std::uint32_t>((x + y) % 4); }, Diagonal, true, palette);
    const auto image = DecodePicture(testing::MakeIcon(1, {{8, 8, 4, dib}}));
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(PixelAt(*image, 1, 0), palette[1]);
    EXPECT_EQ(PixelAt(*image, 3, 2), palette[1]);
    EXPECT_EQ(PixelAt(*image, 5, 5).a, 0);
}

TEST(Icon, LargestEntryIsChosen) {
    const Bytes8 small = IconDib(2, 24, [](int, int) { return 0xFF0000u; }, Never);
    const Bytes8 large = IconDib(6, 32, [](int x, int) { return (static_cast<std::uint32_t>(x * 40 + 10) << 24) | 0x00FF00u; }, Never);
    const Bytes8 middle = IconDib(4, 24, [](int, int) { return 0x0000FFu; }, Never);
    const auto image = DecodePicture(testing::MakeIcon(1, {{2, 2, 24, small}, {6, 6, 32, large}, {4, 4, 24, middle}}));
    ASSERT_TRUE(image.has_value());
    ASSERT_EQ(image->width, 6);
    // Per-pixel alpha of a 32-bit entry wins over its (empty) AND mask.
    EXPECT_EQ(PixelAt(*image, 0, 0), (Rgba{0, 255, 0, 10}));
    EXPECT_EQ(PixelAt(*image, 5, 3), (Rgba{0, 255, 0, 210}));
}

TEST(Icon, DeeperColourBreaksTies) {
    const std::vector<Rgba> palette = {{9, 9, 9, 255}, {1, 1, 1, 255}};
    const Bytes8 shallow = IconDib(4, 1, [](int, int) { return 0u; }, Never, true, palette);
    const Bytes8 deep = IconDib(4, 24, [](int, int) { return 0x123456u; }, Never);
    const auto image = DecodePicture(testing::MakeIcon(1, {{4, 4, 1, shallow}, {4, 4, 24, deep}}));
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(PixelAt(*image, 2, 2), (Rgba{0x12, 0x34, 0x56, 255}));
}

TEST(Icon, ThirtyTwoBitWithZeroAlphaFallsBackOnMask) {
    const Bytes8 dib = IconDib(4, 32, [](int x, int y) { return static_cast<std::uint32_t>(Rgb(x, y)); }, Diagonal);
    const auto image = DecodePicture(testing::MakeIcon(1, {{4, 4, 32, dib}}));
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(PixelAt(*image, 2, 2).a, 0);
    EXPECT_EQ(PixelAt(*image, 1, 2), RgbExpected(1, 2, 255));
}

TEST(Icon, EmbeddedPngEntry) {
    const Bytes8 png = testing::MakePng(9, 9, testing::PngKind::Rgba8);
    const Bytes8 small = IconDib(2, 24, [](int, int) { return 0u; }, Never);
    const auto image = DecodePicture(testing::MakeIcon(1, {{2, 2, 24, small}, {9, 9, 32, png}}));
    ASSERT_TRUE(image.has_value());
    ASSERT_EQ(image->width, 9);
    EXPECT_EQ(PixelAt(*image, 4, 7), testing::PngColor(testing::PngKind::Rgba8, 4, 7));
}

TEST(Icon, CursorSharesTheLayout) {
    const Bytes8 dib = IconDib(4, 24, Rgb, Diagonal);
    Bytes8 cur = testing::MakeIcon(2, {{4, 4, 0, dib}});
    const auto image = DecodePicture(cur);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(PixelAt(*image, 3, 1), RgbExpected(3, 1, 255));
    // The type word must match the signature that chose the decoder.
    cur[2] = 1;
    EXPECT_TRUE(IsPicture(cur));
    cur[2] = 3;
    EXPECT_FALSE(IsPicture(cur));
}

TEST(Icon, DamagedDirectoriesAreRefused) {
    const Bytes8 good = testing::MakeIcon(
        1, {{2, 2, 24, IconDib(2, 24, Rgb, Never)}, {4, 4, 24, IconDib(4, 24, Rgb, Diagonal)}});
    ASSERT_TRUE(IsPicture(good));
    const testing::Damage cases[] = {
        {"NoEntries", [](Bytes8& b) { b[4] = 0; }},
        {"MoreEntriesThanFit", [](Bytes8& b) { b[4] = 0xFF; b[5] = 0xFF; }},
        {"SmallEntryPastEnd", [](Bytes8& b) { b[6 + 12 + 1] = 0x40; }},
        {"EntryOffsetWraps", [](Bytes8& b) { for (int i = 0; i < 4; ++i) b[6 + 16 + 12 + i] = 0xFF; }},
        {"EntrySizeZero", [](Bytes8& b) { for (int i = 0; i < 4; ++i) b[6 + 16 + 8 + i] = 0; }},
        {"LastBytesCut", [](Bytes8& b) { b.erase(b.end() - 10, b.end()); }},
        {"MaskMissing", [](Bytes8& b) { b.erase(b.end() - 16, b.end()); for (int i = 0; i < 4; ++i) b[6 + 16 + 8 + i] = 0; b[6 + 16 + 8] = static_cast<std::uint8_t>(40 + 48); }},
        {"EntryNotABitmap", [](Bytes8& b) { const std::size_t at = b[6 + 16 + 12]; b[at] = 0x99; b[at + 1] = 0x99; }},
    };
    testing::ExpectEachDamageRefused(good, cases);
}

TEST(Icon, EntryClaimingHugeBitmapIsRefused) {
    Bytes8 dib = IconDib(4, 24, Rgb, Never);
    // 20000 wide, 2 * 20000 tall (colour rows plus mask rows).
    dib[4] = 0x20;
    dib[5] = 0x4E;
    dib[8] = 0x40;
    dib[9] = 0x9C;
    EXPECT_FALSE(IsPicture(testing::MakeIcon(1, {{0, 0, 24, dib}})));
}

}  // namespace
}  // namespace lumigrab
