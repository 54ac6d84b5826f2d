#include <gtest/gtest.h>

#include "picture/picture.h"
#include "samples.h"

namespace lumigrab {
namespace {

using testing::Bytes8;
using testing::PixelAt;
using testing::PngKind;
using testing::Rgba;

struct PngCase {
    const char* name;
    PngKind kind;
    bool interlaced;
};

TEST(Png, DecodesColourTypesExactly) {
    const PngCase cases[] = {
        {"Rgba8", PngKind::Rgba8, false},
        {"Rgb16", PngKind::Rgb16, false},
        {"Gray8", PngKind::Gray8, false},
        {"Palette4WithTrns", PngKind::Palette4WithTrns, false},
        {"Gray1", PngKind::Gray1, false},
        {"Rgba8Adam7", PngKind::Rgba8, true},
        {"Palette4Adam7", PngKind::Palette4WithTrns, true},
    };
    for (const PngCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes8 png = testing::MakePng(13, 9, c.kind, c.interlaced);
        ASSERT_FALSE(png.empty());
        const auto image = DecodePicture(png);
        ASSERT_TRUE(image.has_value());
        EXPECT_EQ(image->width, 13);
        EXPECT_EQ(image->height, 9);
        ASSERT_EQ(image->rgba.size(), 13u * 9u * 4u);
        int wrong = 0;
        for (int y = 0; y < 9; ++y) {
            for (int x = 0; x < 13; ++x) {
                Rgba want = testing::PngColor(c.kind, x, y);
                Rgba got = PixelAt(*image, x, y);
                // Colour under full transparency carries no meaning.
                if (want.a == 0 && got.a == 0) continue;
                if (got != want && ++wrong <= 3)
                    ADD_FAILURE() << x << "," << y << " got " << testing::Describe(got) << " want "
                                  << testing::Describe(want);
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

// Cut anywhere, up to the last byte of the end chunk, a body is no picture,
// to the test and to the preview alike.
TEST(Png, TruncatedBodiesAreRefused) {
    const Bytes8 png = testing::MakePng(40, 30, PngKind::Rgba8);
    const std::size_t idat = testing::FindPngChunk(png, "IDAT");
    const std::size_t iend = testing::FindPngChunk(png, "IEND");
    ASSERT_NE(idat, std::string::npos);
    ASSERT_EQ(iend, png.size() - 8);
    const std::size_t cuts[] = {8,         20,       33, idat + 4, idat + 30, (idat + png.size()) / 2,
                                iend - 4,  iend + 4, png.size() - 1};
    for (std::size_t cut : cuts) {
        EXPECT_FALSE(IsPicture(std::span(png).first(cut))) << cut;
        EXPECT_FALSE(DecodePicture(std::span(png).first(cut)).has_value()) << cut;
    }
    EXPECT_TRUE(IsPicture(png));
}

TEST(Png, BadCrcOnCriticalChunkIsRefused) {
    for (const char* type : {"IHDR", "IDAT"}) {
        Bytes8 png = testing::MakePng(8, 8, PngKind::Rgba8);
        const std::size_t at = testing::FindPngChunk(png, type);
        ASSERT_NE(at, std::string::npos);
        png[at + 6] ^= 0x01;  // one data bit, CRC left as it was
        EXPECT_FALSE(IsPicture(png)) << type;
    }
}

TEST(Png, BrokenZlibStreamIsRefusedEvenWithGoodCrc) {
    Bytes8 png = testing::MakePng(8, 8, PngKind::Rgba8);
    const std::size_t at = testing::FindPngChunk(png, "IDAT");
    ASSERT_NE(at, std::string::npos);
    png[at + 4] = 0x00;  // zlib header: invalid method and check bits
    png[at + 5] = 0x00;
    testing::FixPngChunkCrc(png, at);
    EXPECT_FALSE(IsPicture(png));
}

TEST(Png, HeaderClaimingHugeSizeIsRefused) {
    struct Case {
        const char* name;
        std::uint32_t width, height;
    };
    const Case cases[] = {
        {"TwentyThousandSquare", 20000, 20000},
        {"SideBeyondLimit", kMaxPictureSide + 1, 1},
        {"AreaBeyondLimit", 8192, 8193},
    };
    for (const Case& c : cases) {
        Bytes8 png = testing::MakePng(8, 8, PngKind::Rgba8);
        const std::size_t at = testing::FindPngChunk(png, "IHDR");
        for (int i = 0; i < 4; ++i) {
            png[at + 4 + i] = static_cast<std::uint8_t>(c.width >> (24 - 8 * i));
            png[at + 8 + i] = static_cast<std::uint8_t>(c.height >> (24 - 8 * i));
        }
        testing::FixPngChunkCrc(png, at);
        EXPECT_FALSE(IsPicture(png)) << c.name;
    }
}

}  // namespace
}  // namespace lumigrab
