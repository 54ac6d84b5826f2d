// Any bytes into the picture decoders: a refusal is fine, a crash, a hang or
// an image whose buffer does not match its size is not.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "picture/picture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto image = lumigrab::DecodePicture(std::span<const std::uint8_t>(data, size));
    if (image && (image->width <= 0 || image->height <= 0 ||
                  image->rgba.size() != static_cast<size_t>(image->width) * image->height * 4))
        std::abort();
    if (lumigrab::IsPicture(std::span<const std::uint8_t>(data, size)) != image.has_value()) std::abort();
    return 0;
}
