// PNG through libpng's simplified reader. It keeps its own error handling
// (nothing jumps through our frames), refuses bad CRCs on critical chunks and
// broken zlib data, and converts every colour type to 8-bit RGBA.
#include <cstring>

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

}  // namespace

std::optional<Image> DecodePng(ByteSpan bytes) {
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

}  // namespace lumigrab::picture_detail
