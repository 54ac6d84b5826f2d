// PNG through libpng. The display decode uses the simplified reader: it keeps
// its own error handling (nothing jumps through our frames), refuses bad CRCs
// on critical chunks and broken zlib data, and converts every colour type to
// 8-bit RGBA. The picture test reads the same chunks, rows and passes with
// the row reader and the same error settings, without the conversion, into
// one row buffer, and then the chunks up to the end chunk, which the
// simplified reader never reaches: so the display decode takes the test's
// word first.
#include <csetjmp>
#include <cstring>
#include <vector>

#include <png.h>

#include "picture/decoders.h"

namespace lumigrab::picture_detail {
namespace {

class ImageReader {
public:
    ImageReader() {
        std::memset(&image_, 0, sizeof image_);
        image_.version = PNG_IMAGE_VERSION;
    }
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;
    ~ImageReader() { png_image_free(&image_); }
    png_image& get() { return image_; }

private:
    png_image image_;
};

struct MemoryInput {
    ByteSpan bytes;
    std::size_t position = 0;
};

void ReadFromMemory(png_structp png, png_bytep out, std::size_t count) {
    auto* input = static_cast<MemoryInput*>(png_get_io_ptr(png));
    if (count > input->bytes.size() - input->position) png_error(png, "read beyond end of data");
    std::memcpy(out, input->bytes.data() + input->position, count);
    input->position += count;
}

// Errors leave through libpng's longjmp to RowsPresent. Neither they nor
// warnings are printed, as the simplified reader prints none.
[[noreturn]] void OnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void IgnoreWarning(png_structp, png_const_charp) {}

class RowReader {
public:
    RowReader() {
        png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, IgnoreWarning);
        if (png_ != nullptr) info_ = png_create_info_struct(png_);
    }
    RowReader(const RowReader&) = delete;
    RowReader& operator=(const RowReader&) = delete;
    ~RowReader() { png_destroy_read_struct(&png_, &info_, nullptr); }
    png_structp png() const { return png_; }
    png_infop info() const { return info_; }

private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

// `row` is owned by the caller so that a longjmp out of libpng leaks nothing.
bool RowsPresent(RowReader& reader, MemoryInput& input, std::vector<png_byte>& row) {
    png_structp png = reader.png();
    png_infop info = reader.info();
    if (setjmp(png_jmpbuf(png)) != 0) return false;

    png_set_read_fn(png, &input, ReadFromMemory);
    // The simplified reader turns benign errors (a bad ancillary chunk,
    // stray compressed data after the last row) into warnings too.
    png_set_benign_errors(png, 1);
    png_read_info(png, info);
    if (!FitsLimits(png_get_image_width(png, info), png_get_image_height(png, info))) return false;
    // Interlaced pictures are read pass by pass into the one row; libpng
    // keeps only the current and previous rows of a pass.
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    row.resize(png_get_rowbytes(png, info));
    const png_uint_32 height = png_get_image_height(png, info);
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, row.data(), nullptr);
    // The chunks after the pixels, up to the end chunk: a body cut after its
    // last row is as cut as one cut inside them.
    png_read_end(png, nullptr);
    return true;
}

}  // namespace

std::optional<Image> DecodePng(ByteSpan bytes) {
    // The simplified reader stops after the last row and never looks for
    // the end chunk; the test does, and what it refuses is no picture.
    if (!TestPng(bytes)) return std::nullopt;
    ImageReader reader;
    png_image& png = reader.get();
    if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())) return std::nullopt;
    if (!FitsLimits(png.width, png.height)) return std::nullopt;

    png.format = PNG_FORMAT_RGBA;
    // Without a gAMA or sRGB chunk libpng takes 16-bit samples as linear light
    // and brightens them on the way to 8 bits. Untagged 16-bit pictures on the
    // web are sRGB like everything else, and browsers show them so.
    png.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
    Image image = BlankImage(static_cast<int>(png.width), static_cast<int>(png.height));
    if (!png_image_finish_read(&png, nullptr, image.rgba.data(), 0, nullptr)) return std::nullopt;
    return image;
}

bool TestPng(ByteSpan bytes) {
    RowReader reader;
    if (reader.png() == nullptr || reader.info() == nullptr) return false;
    MemoryInput input{bytes};
    std::vector<png_byte> row;
    return RowsPresent(reader, input, row);
}

}  // namespace lumigrab::picture_detail
