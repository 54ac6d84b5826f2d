// Pictures: whole ones decode with the real decoders at the size the page
// reports, thumbnails are smaller and different, failing kinds fail the way
// their names say, and every body is the same on every request.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstring>
#include <optional>
#include <string>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

#include "tools/standin/standin.h"

namespace lumigrab::standin {
namespace {

struct Decoded {
    int width = 0;
    int height = 0;
    int warnings = 0;  // libjpeg's count: a cut file decodes with warnings
};

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void JpegFail(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }
// Counts warnings as the default handler does, without printing them.
void JpegQuiet(j_common_ptr info, int level) {
    if (level < 0) ++info->err->num_warnings;
}

struct JpegDecoder {
    jpeg_decompress_struct info{};
    JpegError error{};
    ~JpegDecoder() { jpeg_destroy_decompress(&info); }
};

std::optional<Decoded> DecodeJpeg(const Bytes& bytes) {
    JpegDecoder d;
    d.info.err = jpeg_std_error(&d.error.mgr);
    d.error.mgr.error_exit = JpegFail;
    if (setjmp(d.error.jump)) return std::nullopt;
    jpeg_create_decompress(&d.info);
    d.error.mgr.emit_message = JpegQuiet;
    jpeg_mem_src(&d.info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&d.info, TRUE) != JPEG_HEADER_OK) return std::nullopt;
    jpeg_start_decompress(&d.info);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(d.info.output_width) * d.info.output_components);
    while (d.info.output_scanline < d.info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&d.info, rows, 1);
    }
    jpeg_finish_decompress(&d.info);
    return Decoded{static_cast<int>(d.info.output_width), static_cast<int>(d.info.output_height),
                   static_cast<int>(d.error.mgr.num_warnings)};
}

std::optional<Decoded> DecodePng(const Bytes& bytes) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    return Decoded{static_cast<int>(image.width), static_cast<int>(image.height), 0};
}

struct GifSource {
    const Bytes* bytes;
    std::size_t at = 0;
};

int GifRead(GifFileType* gif, GifByteType* out, int length) {
    auto* src = static_cast<GifSource*>(gif->UserData);
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length),
                                                 src->bytes->size() - src->at);
    std::memcpy(out, src->bytes->data() + src->at, n);
    src->at += n;
    return static_cast<int>(n);
}

std::optional<Decoded> DecodeGif(const Bytes& bytes) {
    GifSource src{&bytes};
    int error = 0;
    GifFileType* gif = DGifOpen(&src, GifRead, &error);
    if (!gif) return std::nullopt;
    std::optional<Decoded> out;
    if (DGifSlurp(gif) == GIF_OK && gif->ImageCount == 1)
        out = Decoded{gif->SWidth, gif->SHeight, 0};
    DGifCloseFile(gif, &error);
    return out;
}

bool StartsWith(const Bytes& bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() &&
           std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

std::optional<Decoded> DecodeAny(const Bytes& bytes) {
    if (StartsWith(bytes, "\xFF\xD8")) return DecodeJpeg(bytes);
    if (StartsWith(bytes, "\x89PNG")) return DecodePng(bytes);
    if (StartsWith(bytes, "GIF89a")) return DecodeGif(bytes);
    return std::nullopt;
}

std::string PathOf(const StandinServer& server, const std::string& url) {
    return url.substr(server.baseUrl().size());
}

StandinOptions Quiet() {
    StandinOptions o;
    o.lifetime = std::chrono::seconds(60);
    return o;
}

struct WholeCase {
    const char* name;
    PictureKind kind;
    std::string_view signature;
};

class WholePictures : public ::testing::TestWithParam<WholeCase> {};

TEST_P(WholePictures, SignatureDecodesThumbnailSmaller) {
    StandinServer server(Quiet());
    const WholeCase& c = GetParam();
    for (int id : {0, 1, 17, 123456}) {
        const Bytes full = server.expectedBody(PathOf(server, server.pictureUrl(c.kind, id)));
        const Bytes thumb = server.expectedBody(PathOf(server, server.pictureUrl(c.kind, id, true)));
        ASSERT_TRUE(StartsWith(full, c.signature)) << id;
        ASSERT_TRUE(StartsWith(thumb, c.signature)) << id;
        const auto f = DecodeAny(full), t = DecodeAny(thumb);
        ASSERT_TRUE(f.has_value()) << id;
        ASSERT_TRUE(t.has_value()) << id;
        EXPECT_EQ(f->warnings, 0);
        EXPECT_LT(t->width, f->width);
        EXPECT_LT(t->height, f->height);
        EXPECT_LT(thumb.size(), full.size());
        EXPECT_NE(thumb, full);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, WholePictures,
                         ::testing::Values(WholeCase{"Jpeg", PictureKind::Jpeg, "\xFF\xD8\xFF"},
                                           WholeCase{"Png", PictureKind::Png, "\x89PNG\r\n\x1A\n"},
                                           WholeCase{"Gif", PictureKind::Gif, "GIF89a"},
                                           WholeCase{"Slow", PictureKind::Slow, "\xFF\xD8\xFF"}),
                         [](const auto& info) { return info.param.name; });

TEST(WholePictures, SizeMatchesWhatThePageReports) {
    StandinServer server(Quiet());
    int checked = 0;
    for (auto [w, h] : {std::pair{0, 0}, std::pair{400, 300}, std::pair{64, 0}}) {
        for (const PageElement& e : server.listing("cat", 0, w, h)) {
            if (!IsWholePicture(e.kind) || e.objURL.empty()) continue;
            const auto decoded = DecodeAny(server.expectedBody(PathOf(server, e.objURL)));
            ASSERT_TRUE(decoded.has_value()) << e.objURL;
            EXPECT_EQ(decoded->width, e.width) << e.objURL;
            EXPECT_EQ(decoded->height, e.height) << e.objURL;
            ++checked;
        }
    }
    EXPECT_GT(checked, 30);
}

TEST(WholePictures, OversizedRequestIsCapped) {
    StandinServer server(Quiet());
    const auto decoded = DecodeAny(server.expectedBody("/pic/png/3.png?w=100000&h=10"));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->width, kMaxPictureSide);
    EXPECT_EQ(decoded->height, 10);
}

TEST(WholePictures, SameRequestSameBytesOtherIdOtherBytes) {
    StandinServer a(Quiet()), b(Quiet());
    for (PictureKind kind : {PictureKind::Jpeg, PictureKind::Png, PictureKind::Gif}) {
        const std::string path = PathOf(a, a.pictureUrl(kind, 42));
        EXPECT_EQ(a.expectedBody(path), b.expectedBody(path));
        EXPECT_EQ(a.expectedBody(path), a.expectedBody(path));
        EXPECT_NE(a.expectedBody(path), a.expectedBody(PathOf(a, a.pictureUrl(kind, 43))));
    }
}

TEST(FailingPictures, TruncatedIsTheFirstHalfOfTheJpeg) {
    StandinServer server(Quiet());
    for (bool thumbnail : {false, true}) {
        const Bytes whole = server.expectedBody(PathOf(server, server.pictureUrl(PictureKind::Jpeg, 7, thumbnail)));
        const Bytes cut = server.expectedBody(PathOf(server, server.pictureUrl(PictureKind::Truncated, 7, thumbnail)));
        ASSERT_EQ(cut.size(), whole.size() / 2);
        EXPECT_TRUE(std::equal(cut.begin(), cut.end(), whole.begin()));
        const auto decoded = DecodeJpeg(cut);
        // libjpeg pads a cut file and warns; a decoder that trusts it is fooled.
        if (decoded) {
            EXPECT_GT(decoded->warnings, 0);
        }
    }
}

TEST(FailingPictures, HtmlKindsAreNoPictures) {
    StandinServer server(Quiet());
    for (PictureKind kind : {PictureKind::Html, PictureKind::Missing, PictureKind::Error}) {
        const Bytes body = server.expectedBody(PathOf(server, server.pictureUrl(kind, 4)));
        EXPECT_TRUE(StartsWith(body, "<!DOCTYPE html>")) << KindPathName(kind);
        EXPECT_FALSE(DecodeAny(body).has_value());
    }
}

TEST(FailingPictures, NoBodyKindsExpectNothing) {
    StandinServer server(Quiet());
    for (PictureKind kind : {PictureKind::Stall, PictureKind::Redirect, PictureKind::Huge})
        EXPECT_TRUE(server.expectedBody(PathOf(server, server.pictureUrl(kind, 1))).empty());
    const Bytes reset = server.expectedBody(PathOf(server, server.pictureUrl(PictureKind::Reset, 1)));
    const Bytes whole = server.expectedBody(PathOf(server, server.pictureUrl(PictureKind::Jpeg, 1)));
    EXPECT_EQ(reset.size(), whole.size() / 2);
}

TEST(PicturePaths, KindNamesRoundTrip) {
    for (PictureKind kind : DefaultKindCycle()) EXPECT_EQ(KindFromPathName(KindPathName(kind)), kind);
    for (int k = 0; k <= static_cast<int>(PictureKind::Huge); ++k) {
        const auto kind = static_cast<PictureKind>(k);
        EXPECT_EQ(KindFromPathName(KindPathName(kind)), kind);
    }
    EXPECT_FALSE(KindFromPathName("JPEG").has_value());
}

TEST(PicturePaths, FullAddressAndMalformedPaths) {
    StandinServer server(Quiet());
    const std::string url = server.pictureUrl(PictureKind::Png, 5);
    EXPECT_EQ(server.expectedBody(url), server.expectedBody(PathOf(server, url)));
    const Bytes notFound = server.expectedBody("/nothing");
    for (const char* bad : {"/pic/jpeg/", "/pic/jpeg/x.jpg", "/pic/unknown/1.jpg", "/pic/jpeg/1.",
                            "/pic/jpeg/1234567890.jpg", "/pic/jpeg/1.j/g", "/picture/jpeg/1.jpg"})
        EXPECT_EQ(server.expectedBody(bad), notFound) << bad;
}

}  // namespace
}  // namespace lumigrab::standin
