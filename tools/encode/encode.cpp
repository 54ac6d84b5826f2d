#include "tools/encode/encode.h"

#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <cstdlib>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>

namespace lumigrab::encode {
namespace {

// libjpeg's default error handler ends the process; this one jumps back.
struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void JpegErrorExit(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }

struct JpegEncoder {
    jpeg_compress_struct info{};
    JpegError error{};
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    bool created = false;
    JpegEncoder() {
        info.err = jpeg_std_error(&error.mgr);
        error.mgr.error_exit = JpegErrorExit;
    }
    ~JpegEncoder() {
        if (created) jpeg_destroy_compress(&info);
        std::free(out);
    }
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;
};

int Components(JpegColor color) {
    switch (color) {
        case JpegColor::Gray: return 1;
        case JpegColor::Cmyk: return 4;
        case JpegColor::Rgb: break;
    }
    return 3;
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

void PngAppend(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void PngFlush(png_structp) {}

int PngColorType(PngColor color) {
    switch (color) {
        case PngColor::Gray: return PNG_COLOR_TYPE_GRAY;
        case PngColor::Palette: return PNG_COLOR_TYPE_PALETTE;
        case PngColor::RgbAlpha: return PNG_COLOR_TYPE_RGB_ALPHA;
        case PngColor::Rgb: break;
    }
    return PNG_COLOR_TYPE_RGB;
}

// libpng keeps pointers into these until the file is written.
bool WritePng(Bytes& out, const PngSettings& s, std::vector<png_bytep>& rowPointers,
              std::vector<png_color>& palette) {
    PngEncoder enc;
    if (!enc.png || !enc.info) return false;
    if (setjmp(png_jmpbuf(enc.png)) != 0) return false;
    png_set_write_fn(enc.png, &out, PngAppend, PngFlush);
    png_set_IHDR(enc.png, enc.info, static_cast<png_uint_32>(s.width), static_cast<png_uint_32>(s.height),
                 s.bitDepth, PngColorType(s.color), s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty()) png_set_PLTE(enc.png, enc.info, palette.data(), static_cast<int>(palette.size()));
    if (!s.paletteAlpha.empty()) {
        png_set_tRNS(enc.png, enc.info, s.paletteAlpha.data(), static_cast<int>(s.paletteAlpha.size()), nullptr);
    }
    png_set_rows(enc.png, enc.info, rowPointers.data());
    png_write_png(enc.png, enc.info, PNG_TRANSFORM_IDENTITY, nullptr);
    return true;
}

int GifAppend(GifFileType* gif, const GifByteType* data, int length) {
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + length);
    return length;
}

// A colour table of the next power of two at or above the colours given.
struct GifColors {
    ColorMapObject* map = nullptr;
    explicit GifColors(const std::vector<Color>& colors) {
        if (colors.empty()) return;
        int count = 2;
        while (count < static_cast<int>(colors.size())) count *= 2;
        std::vector<GifColorType> table(static_cast<std::size_t>(count), GifColorType{0, 0, 0});
        for (std::size_t i = 0; i < colors.size(); ++i) table[i] = GifColorType{colors[i].r, colors[i].g, colors[i].b};
        map = GifMakeMapObject(count, table.data());
    }
    ~GifColors() { GifFreeMapObject(map); }
    GifColors(const GifColors&) = delete;
    GifColors& operator=(const GifColors&) = delete;
};

struct GifEncoder {
    GifFileType* gif = nullptr;
    ~GifEncoder() {
        if (gif) close();
    }
    // Closing writes the trailer; after it the handle is gone either way.
    bool close() {
        int error = 0;
        const int rc = EGifCloseFile(gif, &error);
        gif = nullptr;
        return rc == GIF_OK;
    }
};

bool PutFrame(GifFileType* gif, const GifFrame& frame) {
    if (frame.indexes.size() < static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height))
        return false;
    if (frame.transparentIndex >= 0) {
        GraphicsControlBlock control{};
        control.TransparentColor = frame.transparentIndex;
        GifByteType extension[4];
        const std::size_t length = EGifGCBToExtension(&control, extension);
        if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension) != GIF_OK)
            return false;
    }
    GifColors local(frame.localColors);
    if (EGifPutImageDesc(gif, frame.left, frame.top, frame.width, frame.height, frame.interlaced, local.map) !=
        GIF_OK)
        return false;
    // An interlaced frame is sent in its four passes' row order.
    std::vector<int> order;
    if (frame.interlaced) {
        constexpr int kStart[] = {0, 4, 2, 1};
        constexpr int kStep[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int y = kStart[pass]; y < frame.height; y += kStep[pass]) order.push_back(y);
    } else {
        for (int y = 0; y < frame.height; ++y) order.push_back(y);
    }
    std::vector<GifPixelType> line(static_cast<std::size_t>(frame.width));
    for (int y : order) {
        const auto from = frame.indexes.begin() + static_cast<std::ptrdiff_t>(y) * frame.width;
        std::copy(from, from + frame.width, line.begin());
        if (EGifPutLine(gif, line.data(), frame.width) != GIF_OK) return false;
    }
    return true;
}

}  // namespace

Bytes Jpeg(const JpegSettings& s, std::span<const std::uint8_t> samples) {
    // Read after the longjmp below, so it must not live in a register.
    const volatile int components = Components(s.color);
    const std::size_t stride = static_cast<std::size_t>(s.width) * components;
    if (s.width <= 0 || s.height <= 0 || samples.size() < stride * static_cast<std::size_t>(s.height)) return {};
    JpegEncoder enc;
    if (setjmp(enc.error.jump)) return {};
    jpeg_create_compress(&enc.info);
    enc.created = true;
    jpeg_mem_dest(&enc.info, &enc.out, &enc.outSize);
    enc.info.image_width = static_cast<JDIMENSION>(s.width);
    enc.info.image_height = static_cast<JDIMENSION>(s.height);
    enc.info.input_components = components;
    enc.info.in_color_space =
        s.color == JpegColor::Gray ? JCS_GRAYSCALE : (s.color == JpegColor::Cmyk ? JCS_CMYK : JCS_RGB);
    jpeg_set_defaults(&enc.info);
    jpeg_set_quality(&enc.info, s.quality, TRUE);
    if (s.fullChroma) {
        for (int c = 0; c < enc.info.num_components; ++c) {
            enc.info.comp_info[c].h_samp_factor = 1;
            enc.info.comp_info[c].v_samp_factor = 1;
        }
    }
    if (s.progressive) jpeg_simple_progression(&enc.info);
    jpeg_start_compress(&enc.info, TRUE);
    while (enc.info.next_scanline < enc.info.image_height) {
        // libjpeg does not write through the row pointer.
        JSAMPROW row = const_cast<JSAMPLE*>(samples.data() + enc.info.next_scanline * stride);
        jpeg_write_scanlines(&enc.info, &row, 1);
    }
    jpeg_finish_compress(&enc.info);
    return Bytes(enc.out, enc.out + enc.outSize);
}

Bytes Png(const PngSettings& s, const std::vector<Bytes>& rows) {
    if (s.width <= 0 || s.height <= 0 || rows.size() != static_cast<std::size_t>(s.height)) return {};
    std::vector<png_bytep> rowPointers;
    rowPointers.reserve(rows.size());
    for (const Bytes& row : rows) rowPointers.push_back(const_cast<png_bytep>(row.data()));
    std::vector<png_color> palette;
    for (const Color& c : s.palette) palette.push_back(png_color{c.r, c.g, c.b});
    Bytes out;
    if (!WritePng(out, s, rowPointers, palette)) return {};
    return out;
}

Bytes Gif(const GifPicture& picture) {
    Bytes out;
    GifEncoder enc;
    int error = 0;
    enc.gif = EGifOpen(&out, GifAppend, &error);
    if (!enc.gif) return {};
    EGifSetGifVersion(enc.gif, true);
    GifColors global(picture.globalColors);
    if (EGifPutScreenDesc(enc.gif, picture.screenWidth, picture.screenHeight, 8, 0, global.map) != GIF_OK)
        return {};
    for (const GifFrame& frame : picture.frames) {
        if (!PutFrame(enc.gif, frame)) return {};
    }
    if (!enc.close()) return {};
    return out;
}

}  // namespace lumigrab::encode
