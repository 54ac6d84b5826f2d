#include "tools/standin/pictures.h"

#include <algorithm>
#include <stdexcept>

#include "tools/encode/encode.h"
#include "tools/standin/standin.h"

namespace lumigrab::standin::detail {
namespace {

// A gradient crossed by a checker whose phase moves with the id: neighbouring
// ids give visibly and byte-wise different pictures.
encode::Color PixelAt(int id, int x, int y, int width, int height) {
    const unsigned ux = static_cast<unsigned>(x), uy = static_cast<unsigned>(y);
    const unsigned uid = static_cast<unsigned>(id);
    encode::Color p;
    p.r = static_cast<std::uint8_t>(ux * 256u / static_cast<unsigned>(width) + uid * 37u);
    p.g = static_cast<std::uint8_t>(uy * 256u / static_cast<unsigned>(height) + uid * 91u);
    p.b = (((ux / 12u) + (uy / 12u) + uid) & 1u) ? 220 : 40;
    return p;
}

int ClampSide(int side) { return std::clamp(side, 1, kMaxPictureSide); }

Bytes RgbRow(int id, int y, int width, int height) {
    Bytes row;
    row.reserve(static_cast<std::size_t>(width) * 3);
    for (int x = 0; x < width; ++x) {
        const encode::Color p = PixelAt(id, x, y, width, height);
        row.insert(row.end(), {p.r, p.g, p.b});
    }
    return row;
}

Bytes EncodeJpeg(int id, int width, int height) {
    Bytes samples;
    samples.reserve(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const Bytes row = RgbRow(id, y, width, height);
        samples.insert(samples.end(), row.begin(), row.end());
    }
    return encode::Jpeg({.width = width, .height = height, .quality = 85}, samples);
}

Bytes EncodePng(int id, int width, int height) {
    std::vector<Bytes> rows;
    rows.reserve(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) rows.push_back(RgbRow(id, y, width, height));
    encode::PngSettings settings;
    settings.width = width;
    settings.height = height;
    return encode::Png(settings, rows);
}

Bytes EncodeGif(int id, int width, int height) {
    encode::GifPicture picture;
    picture.screenWidth = width;
    picture.screenHeight = height;
    // The palette is a 6x6x6 cube plus greys, so the pattern keeps its shape.
    for (int i = 0; i < 256; ++i) {
        encode::Color c;
        if (i < 216) {
            c.r = static_cast<std::uint8_t>((i / 36) * 51);
            c.g = static_cast<std::uint8_t>(((i / 6) % 6) * 51);
            c.b = static_cast<std::uint8_t>((i % 6) * 51);
        } else {
            c.r = c.g = c.b = static_cast<std::uint8_t>((i - 216) * 6);
        }
        picture.globalColors.push_back(c);
    }
    encode::GifFrame frame;
    frame.width = width;
    frame.height = height;
    frame.indexes.reserve(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const encode::Color p = PixelAt(id, x, y, width, height);
            frame.indexes.push_back(static_cast<std::uint8_t>((p.r / 43) * 36 + (p.g / 43) * 6 + p.b / 43));
        }
    }
    picture.frames.push_back(std::move(frame));
    return encode::Gif(picture);
}

}  // namespace

int NaturalWidth(int id) {
    return 160 + static_cast<int>((static_cast<unsigned>(id) * 37u) % 9u) * 16;
}

int NaturalHeight(int id) {
    return 120 + static_cast<int>((static_cast<unsigned>(id) * 53u) % 7u) * 16;
}

int ThumbnailSide(int fullSide) { return std::max(8, fullSide / 4); }

Bytes EncodePicture(Format format, int id, int width, int height) {
    width = ClampSide(width);
    height = ClampSide(height);
    Bytes out;
    switch (format) {
        case Format::Jpeg: out = EncodeJpeg(id, width, height); break;
        case Format::Png: out = EncodePng(id, width, height); break;
        case Format::Gif: out = EncodeGif(id, width, height); break;
    }
    // The encoders only fail when memory runs out.
    if (out.empty()) throw std::runtime_error("picture encoding failed");
    return out;
}

}  // namespace lumigrab::standin::detail
