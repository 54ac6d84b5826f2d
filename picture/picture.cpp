#include "picture/picture.h"

#include <algorithm>
#include <new>

#include "picture/decoders.h"

namespace lumigrab {
namespace picture_detail {

bool FitsLimits(std::int64_t width, std::int64_t height) {
    if (width <= 0 || height <= 0) return false;
    if (width > kMaxPictureSide || height > kMaxPictureSide) return false;
    return width * height <= kMaxPicturePixels;
}

Image BlankImage(int width, int height) {
    Image image;
    image.width = width;
    image.height = height;
    image.rgba.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0);
    return image;
}

}  // namespace picture_detail

namespace {

bool StartsWith(std::span<const std::uint8_t> bytes, std::initializer_list<std::uint8_t> lead) {
    return bytes.size() >= lead.size() && std::equal(lead.begin(), lead.end(), bytes.begin());
}

}  // namespace

PictureFormat SniffPicture(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kMinPictureBytes) return PictureFormat::None;
    if (StartsWith(bytes, {0xFF, 0xD8})) return PictureFormat::Jpeg;
    if (StartsWith(bytes, {'B', 'M'})) return PictureFormat::Bmp;
    if (StartsWith(bytes, {0x00, 0x00, 0x01, 0x00})) return PictureFormat::Icon;
    if (StartsWith(bytes, {0x00, 0x00, 0x02, 0x00})) return PictureFormat::Cursor;
    if (StartsWith(bytes, {'G', 'I', 'F', '8', '7', 'a'}) ||
        StartsWith(bytes, {'G', 'I', 'F', '8', '9', 'a'}))
        return PictureFormat::Gif;
    if (StartsWith(bytes, {0x0A})) return PictureFormat::Pcx;
    if (StartsWith(bytes, {0x89, 0x50, 0x4E, 0x47})) return PictureFormat::Png;
    return PictureFormat::None;
}

std::optional<Image> DecodePicture(std::span<const std::uint8_t> bytes) {
    using namespace picture_detail;
    // The limits keep a single picture bounded, but several download workers
    // may decode at once; running out of memory is a refusal, not a crash.
    try {
        switch (SniffPicture(bytes)) {
            case PictureFormat::Jpeg: return DecodeJpeg(bytes);
            case PictureFormat::Png: return DecodePng(bytes);
            case PictureFormat::Gif: return DecodeGif(bytes);
            case PictureFormat::Bmp: return DecodeBmp(bytes);
            case PictureFormat::Icon: return DecodeIcon(bytes, 1);
            case PictureFormat::Cursor: return DecodeIcon(bytes, 2);
            case PictureFormat::Pcx: return DecodePcx(bytes);
            case PictureFormat::None: break;
        }
    } catch (const std::bad_alloc&) {
    }
    return std::nullopt;
}

bool IsPicture(std::span<const std::uint8_t> bytes) { return DecodePicture(bytes).has_value(); }

}  // namespace lumigrab
