// Which decoder the leading bytes pick, the 8-byte minimum, and that the
// picked decoder alone decides: a valid file of one format behind another
// format's signature is refused.
#include <gtest/gtest.h>

#include <string>

#include "picture/decoders.h"
#include "picture/picture.h"
#include "samples.h"

namespace lumigrab {
namespace {

using testing::Bytes8;

Bytes8 FromText(const std::string& text) { return Bytes8(text.begin(), text.end()); }

Bytes8 Padded(Bytes8 lead, std::size_t size) {
    lead.resize(size, 0x55);
    return lead;
}

struct SniffCase {
    const char* name;
    Bytes8 bytes;
    PictureFormat expected;
};

TEST(SniffPicture, LeadingBytesPickTheDecoder) {
    const SniffCase cases[] = {
        {"Jpeg", Padded({0xFF, 0xD8}, 8), PictureFormat::Jpeg},
        {"Bmp", Padded({'B', 'M'}, 8), PictureFormat::Bmp},
        {"Icon", Padded({0, 0, 1, 0}, 8), PictureFormat::Icon},
        {"Cursor", Padded({0, 0, 2, 0}, 8), PictureFormat::Cursor},
        {"Gif87a", Padded(FromText("GIF87a"), 8), PictureFormat::Gif},
        {"Gif89a", Padded(FromText("GIF89a"), 8), PictureFormat::Gif},
        {"Pcx", Padded({0x0A}, 8), PictureFormat::Pcx},
        {"Png", Padded({0x89, 0x50, 0x4E, 0x47}, 8), PictureFormat::Png},
        {"Gif88aIsNoGif", Padded(FromText("GIF88a"), 8), PictureFormat::None},
        {"LowerCaseBm", Padded(FromText("bm"), 8), PictureFormat::None},
        {"IconTypeThree", Padded({0, 0, 3, 0}, 8), PictureFormat::None},
        {"HalfJpegMarker", Padded({0xFF, 0xD9}, 8), PictureFormat::None},
        {"Html", FromText("<!DOCTYPE html><html><body>404</body></html>"), PictureFormat::None},
        {"SevenByteJpeg", Padded({0xFF, 0xD8}, 7), PictureFormat::None},
        {"SevenBytePng", Bytes8{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A}, PictureFormat::None},
        {"SevenByteGif", Padded(FromText("GIF89a"), 7), PictureFormat::None},
        {"Empty", Bytes8{}, PictureFormat::None},
    };
    for (const SniffCase& c : cases) EXPECT_EQ(SniffPicture(c.bytes), c.expected) << c.name;
}

TEST(IsPicture, HtmlErrorPageIsNotAPicture) {
    const Bytes8 html = FromText("<html><head><title>403 Forbidden</title></head></html>");
    EXPECT_FALSE(IsPicture(html));
    EXPECT_FALSE(DecodePicture(html).has_value());
}

TEST(IsPicture, BodiesBelowEightBytesNeverCount) {
    // A 1x1 GIF cannot be this small, so the shortest real candidates are
    // hand-cut: every prefix of a valid picture up to 7 bytes is refused.
    const Bytes8 gif = testing::MakeGif({1, 1, {{1, 2, 3, 255}, {4, 5, 6, 255}}, {{0, 0, 1, 1, false, {}, {0}, -1}}});
    ASSERT_TRUE(IsPicture(gif));
    for (std::size_t n = 0; n < 8; ++n) EXPECT_FALSE(IsPicture(std::span(gif).first(n))) << n;
}

TEST(IsPicture, EightBytesOfSignatureAloneAreRefused) {
    const Bytes8 cases[] = {
        {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A},
        {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F'},
        {'B', 'M', 0, 0, 0, 0, 0, 0},
        {0, 0, 1, 0, 1, 0, 0, 0},
        {'G', 'I', 'F', '8', '9', 'a', 1, 0},
        {0x0A, 5, 1, 8, 0, 0, 0, 0},
    };
    for (const Bytes8& bytes : cases) EXPECT_FALSE(IsPicture(bytes)) << int{bytes[0]};
}

// Valid pictures of one format dressed in another's signature: the decoder
// the signature selects must refuse them rather than some other decoder
// quietly taking over.
TEST(IsPicture, ValidFileBehindAnotherSignatureIsRefused) {
    Bytes8 png = testing::MakePng(4, 4, testing::PngKind::Rgba8);
    Bytes8 jpeg = testing::MakeJpeg(16, 16);
    Bytes8 gif = testing::MakeGif({2, 2, {{1, 2, 3, 255}, {4, 5, 6, 255}}, {{0, 0, 2, 2, false, {}, {0, 1, 1, 0}, -1}}});
    ASSERT_TRUE(IsPicture(png));
    ASSERT_TRUE(IsPicture(jpeg));
    ASSERT_TRUE(IsPicture(gif));

    Bytes8 pngAsJpeg = png;
    pngAsJpeg[0] = 0xFF;
    pngAsJpeg[1] = 0xD8;
    Bytes8 jpegAsPcx = jpeg;
    jpegAsPcx[0] = 0x0A;
    Bytes8 gifAsBmp = gif;
    gifAsBmp[0] = 'B';
    gifAsBmp[1] = 'M';
    Bytes8 pngBehindBm = {'B', 'M'};
    pngBehindBm.insert(pngBehindBm.end(), png.begin(), png.end());
    Bytes8 jpegBehindGif = {'G', 'I', 'F', '8', '9', 'a'};
    jpegBehindGif.insert(jpegBehindGif.end(), jpeg.begin(), jpeg.end());

    EXPECT_EQ(SniffPicture(pngAsJpeg), PictureFormat::Jpeg);
    EXPECT_FALSE(IsPicture(pngAsJpeg));
    EXPECT_EQ(SniffPicture(jpegAsPcx), PictureFormat::Pcx);
    EXPECT_FALSE(IsPicture(jpegAsPcx));
    EXPECT_EQ(SniffPicture(gifAsBmp), PictureFormat::Bmp);
    EXPECT_FALSE(IsPicture(gifAsBmp));
    EXPECT_FALSE(IsPicture(pngBehindBm));
    EXPECT_FALSE(IsPicture(jpegBehindGif));
}

TEST(IsPicture, LeadingWhitespaceBeforeASignatureIsRefused) {
    Bytes8 png = testing::MakePng(4, 4, testing::PngKind::Rgba8);
    png.insert(png.begin(), {'\r', '\n'});
    EXPECT_FALSE(IsPicture(png));
}

struct LimitCase {
    const char* name;
    std::int64_t width, height;
    bool fits;
};

TEST(FitsLimits, SideAndAreaBounds) {
    const LimitCase cases[] = {
        {"OnePixel", 1, 1, true},
        {"WidestAllowed", kMaxPictureSide, 1, true},
        {"TallestAllowed", 1, kMaxPictureSide, true},
        {"AreaExactlyAtBudget", kMaxPictureSide, kMaxPicturePixels / kMaxPictureSide, true},
        {"AreaBeyondLimit", kMaxPictureSide, kMaxPicturePixels / kMaxPictureSide + 1, false},
        {"SideBeyondLimit", kMaxPictureSide + 1, 1, false},
        {"TwentyThousandSquare", 20000, 20000, false},
        {"ZeroWidth", 0, 10, false},
        {"ZeroHeight", 10, 0, false},
        {"NegativeWidth", -5, 10, false},
        {"NegativeHeight", 10, -5, false},
        {"Huge", std::int64_t{1} << 40, std::int64_t{1} << 40, false},
    };
    for (const LimitCase& c : cases)
        EXPECT_EQ(picture_detail::FitsLimits(c.width, c.height), c.fits) << c.name;
}

// The cheap header read agrees with the full decode on every format.
TEST(ReadPictureHeader, FormatAndSizeAgreeWithTheDecoder) {
    for (const auto& sample : testing::EveryFormatSamples()) {
        const auto image = DecodePicture(sample.bytes);
        ASSERT_TRUE(image) << sample.name;
        const PictureHeader header = ReadPictureHeader(sample.bytes);
        EXPECT_EQ(header.format, SniffPicture(sample.bytes)) << sample.name;
        EXPECT_EQ(header.width, image->width) << sample.name;
        EXPECT_EQ(header.height, image->height) << sample.name;
    }
}

}  // namespace
}  // namespace lumigrab
