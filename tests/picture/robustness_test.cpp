// Cut and scrambled copies of valid pictures of every format: whatever the
// decoders make of them, they must answer (image or refusal) without reading
// out of bounds, and any image they return must be whole. Best run under the
// address sanitizer build, where a stray read fails the test.
#include <gtest/gtest.h>

#include <random>

#include "picture/picture.h"
#include "samples.h"

namespace lumigrab {
namespace {

using testing::Bytes8;

struct Sample {
    const char* name;
    Bytes8 bytes;
};

std::vector<Sample> Samples() {
    using namespace testing;
    std::vector<Sample> out;
    out.push_back({"Jpeg", MakeJpeg(24, 17)});
    out.push_back({"JpegProgressive", MakeJpeg(24, 17, {false, true, false, 80})});
    out.push_back({"Png", MakePng(11, 7, PngKind::Rgba8)});
    out.push_back({"PngPaletteAdam7", MakePng(11, 7, PngKind::Palette4WithTrns, true)});
    {
        std::vector<std::uint8_t> idx;
        for (int i = 0; i < 9 * 6; ++i) idx.push_back(static_cast<std::uint8_t>(i % 4));
        out.push_back({"GifInterlaced",
                       MakeGif({9, 6, {{1, 2, 3, 255}, {4, 5, 6, 255}, {7, 8, 9, 255}, {0, 0, 0, 255}},
                                {{0, 0, 9, 6, true, {}, idx, 1}}})});
    }
    {
        DibLayout s;
        s.width = 7;
        s.height = 5;
        s.bitsPerPixel = 8;
        s.compression = 1;
        s.colorsUsed = 4;
        s.palette = {{1, 1, 1, 255}, {2, 2, 2, 255}, {3, 3, 3, 255}, {4, 4, 4, 255}};
        s.pixels = {7, 1, 0, 0, 0, 3, 1, 2, 3, 0, 0, 2, 1, 1, 0, 0, 3, 2, 0, 1};
        out.push_back({"BmpRle8", MakeBmp(s)});
        DibLayout t;
        t.width = 5;
        t.height = 3;
        t.bitsPerPixel = 32;
        t.compression = 3;
        t.headerSize = 124;
        t.masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
        t.pixels = Bytes8(5 * 3 * 4, 0x7F);
        out.push_back({"BmpV5", MakeBmp(t)});
        DibLayout icon;
        icon.width = 4;
        icon.height = 8;
        icon.bitsPerPixel = 4;
        icon.palette = s.palette;
        icon.colorsUsed = 4;
        icon.pixels = Bytes8(4 * 4 + 4 * 4, 0x21);
        out.push_back({"Icon", MakeIcon(1, {{4, 4, 4, MakeDib(icon)}, {8, 8, 32, MakePng(8, 8, PngKind::Gray8)}})});
    }
    {
        PcxLayout p;
        p.width = 6;
        p.height = 4;
        p.tailPalette = std::vector<Rgba>(256, Rgba{9, 8, 7, 255});
        for (int y = 0; y < 4; ++y) p.scanLines.push_back(Bytes8{1, 1, 0xC1, 0xC1, static_cast<std::uint8_t>(y), 5});
        out.push_back({"Pcx", MakePcx(p)});
    }
    return out;
}

void ExpectWholeOrNothing(std::span<const std::uint8_t> bytes, const char* name, std::size_t step) {
    const auto image = DecodePicture(bytes);
    EXPECT_EQ(image.has_value(), IsPicture(bytes)) << name << " " << step;
    if (!image) return;
    EXPECT_GT(image->width, 0) << name << " " << step;
    EXPECT_GT(image->height, 0) << name << " " << step;
    EXPECT_LE(std::int64_t{image->width} * image->height, kMaxPicturePixels);
    EXPECT_EQ(image->rgba.size(), static_cast<std::size_t>(image->width) * image->height * 4) << name << " " << step;
}

TEST(Robustness, EveryPrefixAnswersSafely) {
    for (const Sample& s : Samples()) {
        ASSERT_FALSE(s.bytes.empty()) << s.name;
        ASSERT_TRUE(IsPicture(s.bytes)) << s.name;
        for (std::size_t n = 0; n <= s.bytes.size(); ++n) {
            // Copied so the sanitizer sees the exact end of each prefix.
            const Bytes8 cut(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(n));
            ExpectWholeOrNothing(cut, s.name, n);
        }
    }
}

TEST(Robustness, ScrambledBytesAnswerSafely) {
    std::mt19937 random(20261207);
    for (const Sample& s : Samples()) {
        std::uniform_int_distribution<std::size_t> position(0, s.bytes.size() - 1);
        std::uniform_int_distribution<int> value(0, 255);
        std::uniform_int_distribution<int> flips(1, 6);
        for (int round = 0; round < 600; ++round) {
            Bytes8 bytes = s.bytes;
            const int count = flips(random);
            for (int i = 0; i < count; ++i) {
                // Headers hold the interesting fields; hit them more often.
                const std::size_t at = (i % 2 == 0) ? position(random) % std::min<std::size_t>(bytes.size(), 160)
                                                    : position(random);
                bytes[at] = static_cast<std::uint8_t>(value(random));
            }
            ExpectWholeOrNothing(bytes, s.name, static_cast<std::size_t>(round));
        }
    }
}

}  // namespace
}  // namespace lumigrab
