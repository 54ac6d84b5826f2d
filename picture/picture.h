#pragma once
// Picture decoding: "decode these bytes into an image or say no". The leading
// bytes pick the one decoder that may accept a body; fewer than 8 bytes is never
// a picture. Hostile input is refused, never crashes, hangs or takes memory
// beyond the size limits.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace lumigrab {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;  // width * height * 4, rows top to bottom
};

std::optional<Image> DecodePicture(std::span<const std::uint8_t> bytes);
bool IsPicture(std::span<const std::uint8_t> bytes);

}  // namespace lumigrab
