#include <gtest/gtest.h>

#include <cstdlib>

#include "picture/picture.h"
#include "samples.h"

namespace lumigrab {
namespace {

using testing::Bytes8;
using testing::JpegOptions;
using testing::PixelAt;
using testing::Rgba;

bool Near(const Rgba& got, const Rgba& want, int tolerance) {
    return std::abs(got.r - want.r) <= tolerance && std::abs(got.g - want.g) <= tolerance &&
           std::abs(got.b - want.b) <= tolerance && got.a == want.a;
}

// Block centres of the pattern, where lossy coding stays close to the input.
void ExpectPattern(const Image& image, bool gray) {
    for (int y = 4; y < image.height; y += 8) {
        for (int x = 4; x < image.width; x += 8) {
            Rgba want = testing::PatternColor(x, y);
            if (gray) want = Rgba{want.g, want.g, want.g, 255};
            const Rgba got = PixelAt(image, x, y);
            EXPECT_TRUE(Near(got, want, 10))
                << "at " << x << "," << y << " got " << testing::Describe(got) << " want " << testing::Describe(want);
        }
    }
}

struct JpegCase {
    const char* name;
    JpegOptions options;
    bool gray;
};

TEST(Jpeg, DecodesEveryEncoding) {
    const JpegCase cases[] = {
        {"Baseline", {}, false},
        {"Progressive", {false, true, false, 95}, false},
        {"Grayscale", {true, false, false, 95}, true},
        {"AdobeCmyk", {false, false, true, 95}, false},
    };
    for (const JpegCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Sizes that are not whole blocks exercise the partial edge blocks.
        const Bytes8 jpeg = testing::MakeJpeg(37, 21, c.options);
        const auto image = DecodePicture(jpeg);
        ASSERT_TRUE(image.has_value());
        EXPECT_EQ(image->width, 37);
        EXPECT_EQ(image->height, 21);
        ASSERT_EQ(image->rgba.size(), 37u * 21u * 4u);
        ExpectPattern(*image, c.gray);
    }
}

TEST(Jpeg, TrailingBytesAfterEndMarkerAreAccepted) {
    // Servers sometimes append padding or tracking bytes; the picture is whole.
    Bytes8 jpeg = testing::MakeJpeg(16, 16);
    const std::string tail = "<!-- cache -->";
    jpeg.insert(jpeg.end(), tail.begin(), tail.end());
    EXPECT_TRUE(IsPicture(jpeg));
}

TEST(Jpeg, TruncatedBodiesAreRefused) {
    for (bool progressive : {false, true}) {
        const Bytes8 jpeg = testing::MakeJpeg(64, 48, {false, progressive, false, 90});
        ASSERT_TRUE(IsPicture(jpeg));
        const std::size_t cuts[] = {10, 40, jpeg.size() / 3, jpeg.size() / 2, jpeg.size() - 40,
                                    jpeg.size() - 2 /* only the end marker missing */};
        for (std::size_t cut : cuts)
            EXPECT_FALSE(IsPicture(std::span(jpeg).first(cut))) << "progressive " << progressive << " cut " << cut;
    }
}

TEST(Jpeg, HeaderClaimingHugeSizeIsRefused) {
    struct Case {
        const char* name;
        int width, height;
    };
    const Case cases[] = {
        {"TwentyThousandSquare", 20000, 20000},
        {"SideBeyondLimit", kMaxPictureSide + 1, 8},
        {"AreaBeyondLimit", 16000, 16000},
        {"ZeroHeight", 16, 0},
    };
    for (const Case& c : cases) {
        Bytes8 jpeg = testing::MakeJpeg(16, 16);
        testing::SetJpegFrameSize(jpeg, c.width, c.height);
        EXPECT_FALSE(IsPicture(jpeg)) << c.name;
    }
}

TEST(Jpeg, GarbageAfterStartMarkerIsRefused) {
    Bytes8 body = {0xFF, 0xD8};
    const std::string html = "<html><body>not found</body></html>";
    body.insert(body.end(), html.begin(), html.end());
    EXPECT_FALSE(IsPicture(body));
}

TEST(Jpeg, MissingQuantTableIsRefused) {
    Bytes8 jpeg = testing::MakeJpeg(16, 16);
    // Rename every DQT segment to a harmless application segment.
    for (std::size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDB) jpeg[i + 1] = 0xEF;
    EXPECT_FALSE(IsPicture(jpeg));
}

// Too large to decode within the picture-test budget, so judged by its
// markers: those still find a cut body, a missing table or a bad scan header.
TEST(Jpeg, PictureBeyondTheTestBudgetIsJudgedByItsMarkers) {
    Bytes8 jpeg = testing::MakeJpeg(16, 16, {false, true, true, 90});
    testing::SetJpegFrameSize(jpeg, 8192, 8192);
    ASSERT_TRUE(JudgedByMarkersAlone(jpeg));
    EXPECT_TRUE(IsPicture(jpeg));
    for (std::size_t cut : {jpeg.size() / 2, jpeg.size() - 2})
        EXPECT_FALSE(IsPicture(std::span(jpeg).first(cut))) << "cut " << cut;

    Bytes8 noQuantTables = jpeg;
    for (std::size_t i = 2; i + 1 < noQuantTables.size(); ++i)
        if (noQuantTables[i] == 0xFF && noQuantTables[i + 1] == 0xDB) noQuantTables[i + 1] = 0xEF;
    EXPECT_FALSE(IsPicture(noQuantTables));

    Bytes8 strangerInLastScan = jpeg;
    std::size_t lastScan = 0;
    for (std::size_t i = 2; i + 5 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) lastScan = i;
    ASSERT_GT(lastScan, 0u);
    strangerInLastScan[lastScan + 5] = 0x09;  // a component the frame lacks
    EXPECT_FALSE(IsPicture(strangerInLastScan));
}

}  // namespace
}  // namespace lumigrab
