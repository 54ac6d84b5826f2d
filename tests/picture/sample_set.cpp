#include <vector>

#include "samples.h"

namespace lumigrab::testing {
namespace {

const std::vector<Rgba> kFour = {{1, 1, 1, 255}, {2, 2, 2, 255}, {3, 3, 3, 255}, {4, 4, 4, 255}};

std::vector<std::vector<std::uint32_t>> Rows(int width, int height, std::uint32_t modulo) {
    std::vector<std::vector<std::uint32_t>> rows(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) rows[static_cast<std::size_t>(y)].push_back((x * 7 + y * 13) % modulo);
    return rows;
}

void AddJpegs(std::vector<NamedSample>& out) {
    out.push_back({"Jpeg", MakeJpeg(24, 17)});
    out.push_back({"JpegProgressive", MakeJpeg(24, 17, {false, true, false, 80})});
    out.push_back({"JpegGray", MakeJpeg(19, 9, {true, false, false, 90})});
    out.push_back({"JpegAdobeCmyk", MakeJpeg(16, 11, {false, false, true, 90})});
}

void AddPngsAndGifs(std::vector<NamedSample>& out) {
    out.push_back({"Png", MakePng(11, 7, PngKind::Rgba8)});
    out.push_back({"PngRgb16", MakePng(6, 5, PngKind::Rgb16)});
    out.push_back({"PngGray1", MakePng(13, 4, PngKind::Gray1)});
    out.push_back({"PngRgbaAdam7", MakePng(11, 9, PngKind::Rgba8, true)});
    out.push_back({"PngPaletteAdam7", MakePng(11, 7, PngKind::Palette4WithTrns, true)});
    std::vector<std::uint8_t> idx;
    for (int i = 0; i < 9 * 6; ++i) idx.push_back(static_cast<std::uint8_t>(i % 4));
    out.push_back({"GifInterlaced", MakeGif({9, 6, {{1, 2, 3, 255}, {4, 5, 6, 255}, {7, 8, 9, 255}, {0, 0, 0, 255}},
                                             {{0, 0, 9, 6, true, {}, idx, 1}}})});
    // A frame overhanging the screen, with its own table and a transparent index.
    idx.resize(5 * 4);
    out.push_back({"GifOverhangLocalTable", MakeGif({4, 4, {}, {{2, 1, 5, 4, false, kFour, idx, 1}}})});
}

void AddBitmaps(std::vector<NamedSample>& out) {
    DibLayout rle8;
    rle8.width = 7;
    rle8.height = 5;
    rle8.bitsPerPixel = 8;
    rle8.compression = 1;
    rle8.colorsUsed = 4;
    rle8.palette = kFour;
    rle8.pixels = {7, 1, 0, 0, 0, 3, 1, 2, 3, 0, 0, 2, 1, 1, 0, 0, 3, 2, 0, 1};
    out.push_back({"BmpRle8", MakeBmp(rle8)});
    DibLayout rle4 = rle8;
    rle4.width = 4;
    rle4.height = 2;
    rle4.bitsPerPixel = 4;
    rle4.compression = 2;
    rle4.pixels = {4, 0x12, 0, 0, 0, 4, 0x30, 0x20, 0, 0, 0, 1};
    out.push_back({"BmpRle4", MakeBmp(rle4)});
    DibLayout v5;
    v5.width = 5;
    v5.height = 3;
    v5.bitsPerPixel = 32;
    v5.compression = 3;
    v5.headerSize = 124;
    v5.masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
    v5.pixels = Bytes8(5 * 3 * 4, 0x7F);
    out.push_back({"BmpV5", MakeBmp(v5)});
    DibLayout mono;
    mono.width = 9;
    mono.height = 3;
    mono.bitsPerPixel = 1;
    mono.palette = {{0, 0, 0, 255}, {255, 255, 255, 255}};
    mono.colorsUsed = 2;
    mono.pixels = PackRows(Rows(9, 3, 2), 1, false);
    out.push_back({"Bmp1", MakeBmp(mono)});
    DibLayout high;
    high.width = 3;
    high.height = 2;
    high.bitsPerPixel = 16;
    high.pixels = PackRows(Rows(3, 2, 0x7FFF), 16, false);
    out.push_back({"Bmp16", MakeBmp(high)});
    DibLayout topDown;
    topDown.width = 5;
    topDown.height = -3;
    topDown.pixels = PackRows(Rows(5, 3, 0xFFFFFF), 24, true);
    out.push_back({"Bmp24TopDown", MakeBmp(topDown)});
    DibLayout core;
    core.width = 6;
    core.height = 2;
    core.bitsPerPixel = 8;
    core.headerSize = 12;
    core.palette = kFour;
    core.pixels = PackRows(Rows(6, 2, 4), 8, false);
    out.push_back({"BmpCore", MakeBmp(core)});
}

void AddIconsAndPcx(std::vector<NamedSample>& out) {
    DibLayout dib4;
    dib4.width = 4;
    dib4.height = 8;
    dib4.bitsPerPixel = 4;
    dib4.palette = kFour;
    dib4.colorsUsed = 4;
    dib4.pixels = Bytes8(4 * 4 + 4 * 4, 0x21);
    DibLayout dib32;
    dib32.width = 4;
    dib32.height = 8;
    dib32.bitsPerPixel = 32;
    dib32.pixels = Bytes8(4 * 4 * 4 + 4 * 4, 0x80);
    out.push_back({"IconPngEntry", MakeIcon(1, {{4, 4, 4, MakeDib(dib4)}, {8, 8, 32, MakePng(8, 8, PngKind::Gray8)}})});
    out.push_back({"IconDibWithAlpha", MakeIcon(1, {{4, 4, 32, MakeDib(dib32)}})});
    out.push_back({"CursorDibWithMask", MakeIcon(2, {{4, 4, 0, MakeDib(dib4)}})});

    PcxLayout tail;
    tail.width = 6;
    tail.height = 4;
    tail.tailPalette = std::vector<Rgba>(256, Rgba{9, 8, 7, 255});
    for (int y = 0; y < 4; ++y) tail.scanLines.push_back(Bytes8{1, 1, 0xC1, 0xC1, static_cast<std::uint8_t>(y), 5});
    out.push_back({"Pcx", MakePcx(tail)});
    PcxLayout rgb;
    rgb.width = 4;
    rgb.height = 2;
    rgb.planes = 3;
    for (int y = 0; y < 2; ++y) rgb.scanLines.push_back(Bytes8(12, static_cast<std::uint8_t>(40 * y + 7)));
    out.push_back({"PcxRgb", MakePcx(rgb)});
    PcxLayout mono;
    mono.width = 10;
    mono.height = 3;
    mono.bitsPerPixel = 1;
    for (int y = 0; y < 3; ++y) mono.scanLines.push_back(Bytes8{static_cast<std::uint8_t>(0xA5 + y), 0xC0});
    out.push_back({"PcxMono", MakePcx(mono)});
}

}  // namespace

std::vector<NamedSample> EveryFormatSamples() {
    std::vector<NamedSample> out;
    AddJpegs(out);
    AddPngsAndGifs(out);
    AddBitmaps(out);
    AddIconsAndPcx(out);
    return out;
}

std::vector<NamedSample> HugeClaimSamples() {
    std::vector<NamedSample> out;
    out.push_back({"Gif8192ScreenOnePixel", MakeGif({8192, 8192, kFour, {{0, 0, 1, 1, false, {}, {2}, -1}}})});
    out.push_back({"Png8000OneBit", MakePng(8000, 8000, PngKind::Gray1)});
    out.push_back({"Jpeg8000Progressive", MakeJpeg(8000, 8000, {true, true, false, 75})});
    // 512 MiB of coefficients, four times the picture-test budget.
    Bytes8 cmyk = MakeJpeg(16, 16, {false, true, true, 90});
    SetJpegFrameSize(cmyk, 8192, 8192);
    out.push_back({"Jpeg8192ProgressiveCmykClaim", std::move(cmyk)});
    return out;
}

}  // namespace lumigrab::testing
