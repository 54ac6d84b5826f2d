#include <gtest/gtest.h>

#include "picture/picture.h"
#include "samples.h"

namespace lumigrab {
namespace {

using testing::Bytes8;
using testing::GifFrame;
using testing::GifLayout;
using testing::PixelAt;
using testing::Rgba;

const std::vector<Rgba> kColors = {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {10, 20, 30, 255}};

std::vector<std::uint8_t> Indexes(int width, int height) {
    std::vector<std::uint8_t> out;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) out.push_back(static_cast<std::uint8_t>((x + 2 * y) % 4));
    return out;
}

void ExpectFrame(const Image& image, const GifFrame& frame, const std::vector<Rgba>& colors) {
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            const int index = frame.indexes[static_cast<std::size_t>(y * frame.width + x)];
            const Rgba got = PixelAt(image, frame.left + x, frame.top + y);
            if (index == frame.transparentIndex) {
                EXPECT_EQ(got.a, 0) << x << "," << y;
            } else {
                EXPECT_EQ(got, colors[static_cast<std::size_t>(index)])
                    << x << "," << y << " got " << testing::Describe(got);
            }
        }
    }
}

struct GifCase {
    const char* name;
    bool interlaced;
    bool localTable;
    int transparentIndex;
};

TEST(Gif, DecodesFirstFrame) {
    const GifCase cases[] = {
        {"Plain", false, false, -1},
        // Eleven rows touch every interlace pass, including a partial last group.
        {"Interlaced", true, false, -1},
        {"LocalColourTable", false, true, -1},
        {"TransparentIndex", false, false, 2},
        {"InterlacedTransparent", true, true, 0},
    };
    for (const GifCase& c : cases) {
        SCOPED_TRACE(c.name);
        GifFrame frame{0, 0, 7, 11, c.interlaced, {}, Indexes(7, 11), c.transparentIndex};
        std::vector<Rgba> global = kColors;
        if (c.localTable) {
            frame.localColors = {{1, 1, 1, 255}, {2, 2, 2, 255}, {3, 3, 3, 255}, {4, 4, 4, 255}};
            global = {{200, 200, 200, 255}, {201, 201, 201, 255}};
        }
        const Bytes8 gif = testing::MakeGif({7, 11, global, {frame}});
        ASSERT_FALSE(gif.empty());
        const auto image = DecodePicture(gif);
        ASSERT_TRUE(image.has_value());
        EXPECT_EQ(image->width, 7);
        EXPECT_EQ(image->height, 11);
        ExpectFrame(*image, frame, c.localTable ? frame.localColors : global);
    }
}

TEST(Gif, FrameSmallerThanScreenLeavesRestTransparent) {
    const GifFrame frame{2, 1, 3, 2, false, {}, Indexes(3, 2), -1};
    const auto image = DecodePicture(testing::MakeGif({6, 4, kColors, {frame}}));
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->width, 6);
    EXPECT_EQ(image->height, 4);
    ExpectFrame(*image, frame, kColors);
    EXPECT_EQ(PixelAt(*image, 0, 0).a, 0);
    EXPECT_EQ(PixelAt(*image, 5, 3).a, 0);
}

TEST(Gif, OnlyTheFirstFrameOfAnAnimationIsShown) {
    const GifFrame first{0, 0, 4, 4, false, {}, std::vector<std::uint8_t>(16, 0), -1};
    const GifFrame second{0, 0, 4, 4, false, {}, std::vector<std::uint8_t>(16, 1), -1};
    const auto image = DecodePicture(testing::MakeGif({4, 4, kColors, {first, second}}));
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(PixelAt(*image, 3, 3), kColors[0]);
}

TEST(Gif, TruncatedFirstFrameIsRefused) {
    const GifFrame frame{0, 0, 30, 30, false, {}, Indexes(30, 30), -1};
    const Bytes8 gif = testing::MakeGif({30, 30, kColors, {frame}});
    ASSERT_TRUE(IsPicture(gif));
    // Cut inside the screen descriptor, the colour table and the image data.
    const std::size_t cuts[] = {8, 12, 20, gif.size() / 2, gif.size() - 4};
    for (std::size_t cut : cuts) EXPECT_FALSE(IsPicture(std::span(gif).first(cut))) << cut;
}

TEST(Gif, NoImageBeforeTrailerIsRefused) {
    Bytes8 gif = testing::MakeGif({4, 4, kColors, {}});
    ASSERT_FALSE(gif.empty());
    EXPECT_FALSE(IsPicture(gif));
}

TEST(Gif, MissingColourTableIsRefused) {
    const GifFrame frame{0, 0, 4, 4, false, {}, Indexes(4, 4), -1};
    Bytes8 gif = testing::MakeGif({4, 4, kColors, {frame}});
    // Drop the global table: clear its flag and cut its four entries out.
    ASSERT_TRUE(gif[10] & 0x80);
    gif[10] &= 0x7F;
    gif.erase(gif.begin() + 13, gif.begin() + 13 + 3 * 4);
    EXPECT_FALSE(IsPicture(gif));
}

TEST(Gif, ScreenClaimingHugeSizeIsRefused) {
    const GifFrame frame{0, 0, 4, 4, false, {}, Indexes(4, 4), -1};
    Bytes8 gif = testing::MakeGif({4, 4, kColors, {frame}});
    gif[6] = 0x20;  // 20000 = 0x4E20, little-endian
    gif[7] = 0x4E;
    gif[8] = 0x20;
    gif[9] = 0x4E;
    EXPECT_FALSE(IsPicture(gif));
}

TEST(Gif, FrameOverhangingScreenGrowsCanvas) {
    const GifFrame frame{3, 0, 4, 2, false, {}, Indexes(4, 2), -1};
    const auto image = DecodePicture(testing::MakeGif({5, 2, kColors, {frame}}));
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->width, 7);
    ExpectFrame(*image, frame, kColors);
}

}  // namespace
}  // namespace lumigrab
