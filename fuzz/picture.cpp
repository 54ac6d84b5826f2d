// Any bytes into the picture decoders: a refusal is fine, a crash, a hang,
// an image whose buffer does not match its size, or a picture test that
// disagrees with the decode is not.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "picture/picture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto image = lumigrab::DecodePicture(bytes);
    // The picture test keeps no pixels but must give the same answer, except
    // where it judges a JPEG too large for its budget by the markers alone.
    if (lumigrab::IsPicture(bytes) != image.has_value() && !lumigrab::JudgedByMarkersAlone(bytes)) std::abort();
    if (!image) return 0;
    if (lumigrab::SniffPicture(bytes) == lumigrab::PictureFormat::None) std::abort();
    if (image->width <= 0 || image->height <= 0 || image->width > lumigrab::kMaxPictureSide ||
        image->height > lumigrab::kMaxPictureSide ||
        image->rgba.size() != static_cast<size_t>(image->width) * image->height * 4)
        std::abort();
    // A second decode must give the same pixels: a difference means a pixel
    // came from memory the decoder never wrote. Large canvases are skipped;
    // they only cost time here.
    if (image->rgba.size() <= (std::size_t{1} << 20)) {
        const auto again = lumigrab::DecodePicture(bytes);
        if (!again || again->width != image->width || again->height != image->height ||
            again->rgba != image->rgba)
            std::abort();
    }
    return 0;
}
