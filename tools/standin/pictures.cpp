#include "tools/standin/pictures.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <stdexcept>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

#include "tools/standin/standin.h"

namespace lumigrab::standin::detail {
namespace {

struct Rgb {
    std::uint8_t r, g, b;
};

// A gradient crossed by a checker whose phase moves with the id: neighbouring
// ids give visibly and byte-wise different pictures.
Rgb PixelAt(int id, int x, int y, int width, int height) {
    const unsigned ux = static_cast<unsigned>(x), uy = static_cast<unsigned>(y);
    const unsigned uid = static_cast<unsigned>(id);
    Rgb p;
    p.r = static_cast<std::uint8_t>(ux * 256u / static_cast<unsigned>(width) + uid * 37u);
    p.g = static_cast<std::uint8_t>(uy * 256u / static_cast<unsigned>(height) + uid * 91u);
    p.b = (((ux / 12u) + (uy / 12u) + uid) & 1u) ? 220 : 40;
    return p;
}

int ClampSide(int side) { return std::clamp(side, 1, kMaxPictureSide); }

// libjpeg's default error handler ends the process; ours jumps back instead.
struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void JpegErrorExit(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

struct JpegEncoder {
    jpeg_compress_struct info{};
    JpegError error{};
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    JpegEncoder() {
        info.err = jpeg_std_error(&error.mgr);
        error.mgr.error_exit = JpegErrorExit;
    }
    ~JpegEncoder() {
        jpeg_destroy_compress(&info);
        std::free(out);
    }
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;
};

Bytes EncodeJpeg(int id, int width, int height) {
    std::vector<JSAMPLE> row(static_cast<std::size_t>(width) * 3);
    JpegEncoder enc;
    if (setjmp(enc.error.jump)) throw std::runtime_error("jpeg encoding failed");
    jpeg_create_compress(&enc.info);
    jpeg_mem_dest(&enc.info, &enc.out, &enc.outSize);
    enc.info.image_width = static_cast<JDIMENSION>(width);
    enc.info.image_height = static_cast<JDIMENSION>(height);
    enc.info.input_components = 3;
    enc.info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&enc.info);
    jpeg_set_quality(&enc.info, 85, TRUE);
    jpeg_start_compress(&enc.info, TRUE);
    while (enc.info.next_scanline < enc.info.image_height) {
        const int y = static_cast<int>(enc.info.next_scanline);
        for (int x = 0; x < width; ++x) {
            const Rgb p = PixelAt(id, x, y, width, height);
            row[static_cast<std::size_t>(x) * 3] = p.r;
            row[static_cast<std::size_t>(x) * 3 + 1] = p.g;
            row[static_cast<std::size_t>(x) * 3 + 2] = p.b;
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&enc.info, rows, 1);
    }
    jpeg_finish_compress(&enc.info);
    return Bytes(enc.out, enc.out + enc.outSize);
}

struct PngEncoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngEncoder() {
        png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        if (png) info = png_create_info_struct(png);
    }
    ~PngEncoder() { png_destroy_write_struct(&png, &info); }
    PngEncoder(const PngEncoder&) = delete;
    PngEncoder& operator=(const PngEncoder&) = delete;
};

void PngWrite(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void PngFlush(png_structp) {}

Bytes EncodePng(int id, int width, int height) {
    Bytes out;
    std::vector<png_byte> row(static_cast<std::size_t>(width) * 3);
    PngEncoder enc;
    if (!enc.png || !enc.info) throw std::runtime_error("png encoder unavailable");
    if (setjmp(png_jmpbuf(enc.png))) throw std::runtime_error("png encoding failed");
    png_set_write_fn(enc.png, &out, PngWrite, PngFlush);
    png_set_IHDR(enc.png, enc.info, static_cast<png_uint_32>(width),
                 static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(enc.png, enc.info);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb p = PixelAt(id, x, y, width, height);
            row[static_cast<std::size_t>(x) * 3] = p.r;
            row[static_cast<std::size_t>(x) * 3 + 1] = p.g;
            row[static_cast<std::size_t>(x) * 3 + 2] = p.b;
        }
        png_write_row(enc.png, row.data());
    }
    png_write_end(enc.png, enc.info);
    return out;
}

int GifWrite(GifFileType* gif, const GifByteType* data, int length) {
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + length);
    return length;
}

struct GifEncoder {
    GifFileType* gif = nullptr;
    ColorMapObject* map = nullptr;
    ~GifEncoder() {
        if (gif) {
            int error = 0;
            EGifCloseFile(gif, &error);
        }
        if (map) GifFreeMapObject(map);
    }
    // Closing flushes the trailer; after it the handle is gone either way.
    bool close() {
        int error = 0;
        const int rc = EGifCloseFile(gif, &error);
        gif = nullptr;
        return rc == GIF_OK;
    }
};

Bytes EncodeGif(int id, int width, int height) {
    Bytes out;
    GifEncoder enc;
    int error = 0;
    enc.gif = EGifOpen(&out, GifWrite, &error);
    enc.map = GifMakeMapObject(256, nullptr);
    if (!enc.gif || !enc.map) throw std::runtime_error("gif encoder unavailable");
    // The palette is a 6x6x6 cube plus greys, so the pattern keeps its shape.
    for (int i = 0; i < 256; ++i) {
        GifColorType& c = enc.map->Colors[i];
        if (i < 216) {
            c.Red = static_cast<GifByteType>((i / 36) * 51);
            c.Green = static_cast<GifByteType>(((i / 6) % 6) * 51);
            c.Blue = static_cast<GifByteType>((i % 6) * 51);
        } else {
            c.Red = c.Green = c.Blue = static_cast<GifByteType>((i - 216) * 6);
        }
    }
    EGifSetGifVersion(enc.gif, true);
    if (EGifPutScreenDesc(enc.gif, width, height, 8, 0, enc.map) != GIF_OK ||
        EGifPutImageDesc(enc.gif, 0, 0, width, height, false, nullptr) != GIF_OK)
        throw std::runtime_error("gif encoding failed");
    std::vector<GifPixelType> line(static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb p = PixelAt(id, x, y, width, height);
            line[static_cast<std::size_t>(x)] =
                static_cast<GifPixelType>((p.r / 43) * 36 + (p.g / 43) * 6 + p.b / 43);
        }
        if (EGifPutLine(enc.gif, line.data(), width) != GIF_OK)
            throw std::runtime_error("gif encoding failed");
    }
    if (!enc.close()) throw std::runtime_error("gif encoding failed");
    return out;
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
    switch (format) {
        case Format::Jpeg: return EncodeJpeg(id, width, height);
        case Format::Png: return EncodePng(id, width, height);
        case Format::Gif: return EncodeGif(id, width, height);
    }
    return {};
}

}  // namespace lumigrab::standin::detail
