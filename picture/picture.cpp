#include "picture/picture.h"

#include <algorithm>
#include <new>
#include <utility>

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

namespace {

// Runs the decoder for the format the leading bytes name, handing its rows to
// `sink`. PNG files (and PNG icon entries) take libpng's own paths instead,
// chosen by `png`, which answers for them.
template <typename PngPath>
bool ReadPicture(std::span<const std::uint8_t> bytes, picture_detail::RowSink& sink, PngPath png) {
    using namespace picture_detail;
    const auto icon = [&](std::uint16_t type) {
        const std::optional<ByteSpan> entry = PickIconEntry(bytes, type);
        if (!entry) return false;
        if (IsPngData(*entry)) return png(*entry);
        return ReadDib(*entry, std::nullopt, true, sink);
    };
    switch (SniffPicture(bytes)) {
        case PictureFormat::Jpeg: return ReadJpeg(bytes, sink);
        case PictureFormat::Png: return png(bytes);
        case PictureFormat::Gif: return ReadGif(bytes, sink);
        case PictureFormat::Bmp: return ReadBmp(bytes, sink);
        case PictureFormat::Icon: return icon(1);
        case PictureFormat::Cursor: return icon(2);
        case PictureFormat::Pcx: return ReadPcx(bytes, sink);
        case PictureFormat::None: break;
    }
    return false;
}

}  // namespace

std::optional<Image> DecodePicture(std::span<const std::uint8_t> bytes) {
    using namespace picture_detail;
    // The limits keep a single picture bounded, but several decodes may run
    // at once; running out of memory is a refusal, not a crash.
    try {
        ImageSink sink;
        std::optional<Image> png;
        const bool ok = ReadPicture(bytes, sink, [&](ByteSpan data) {
            png = DecodePng(data);
            return png.has_value();
        });
        if (!ok) return std::nullopt;
        if (png) return png;
        return std::move(sink.image);
    } catch (const std::bad_alloc&) {
    }
    return std::nullopt;
}

bool JudgedByMarkersAlone(std::span<const std::uint8_t> bytes) {
    return SniffPicture(bytes) == PictureFormat::Jpeg && picture_detail::JpegJudgedByMarkers(bytes);
}

bool IsPicture(std::span<const std::uint8_t> bytes, const std::atomic<bool>* cancel) {
    using namespace picture_detail;
    try {
        ScratchSink sink(cancel);
        return ReadPicture(bytes, sink, TestPng);
    } catch (const std::bad_alloc&) {
    }
    return false;
}

}  // namespace lumigrab
