#pragma once
// Noise JPEGs of a chosen size for the download bench: noise costs about the
// same bytes per pixel in every picture, so sizes are predictable, and no two
// pictures share their bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tools/encode/encode.h"

namespace lumigrab::bench {

// Random-pixel JPEGs at quality 85. The encoder only fails when memory
// runs out, which ends this bench.
class JpegWriter {
public:
    // Random pixels from `seed`.
    std::string noise(int width, int height, std::uint32_t seed) {
        std::mt19937 random(seed);
        std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
        for (auto& sample : rgb) sample = static_cast<std::uint8_t>(random() >> 24);
        const encode::Bytes jpeg = encode::Jpeg({.width = width, .height = height, .quality = 85}, rgb);
        if (jpeg.empty()) {
            std::fputs("JPEG encoding failed\n", stderr);
            std::_Exit(1);
        }
        return std::string(jpeg.begin(), jpeg.end());
    }

    // A 4:3 noise picture of about `target` bytes, from one trial encode.
    std::pair<int, int> sidesFor(std::size_t target) {
        constexpr int kTrial = 256;
        const double perPixel = static_cast<double>(noise(kTrial, kTrial, 1).size()) / (kTrial * kTrial);
        const double width = std::sqrt(static_cast<double>(target) / perPixel * 4.0 / 3.0);
        return {static_cast<int>(width), static_cast<int>(width * 3.0 / 4.0)};
    }
};

// `jpeg` (as JpegWriter writes it) with a comment naming `id` after its JFIF
// header: distinct bytes per address from one big picture kept in memory.
inline std::string NumberedCopy(const std::string& jpeg, int id) {
    const std::size_t app0End = 4 + ((static_cast<unsigned char>(jpeg[4]) << 8) | static_cast<unsigned char>(jpeg[5]));
    const std::string text = "picture " + std::to_string(id);
    std::string out;
    out.reserve(jpeg.size() + text.size() + 4);
    out.append(jpeg, 0, app0End);
    out += "\xFF\xFE";
    out += static_cast<char>((text.size() + 2) >> 8);
    out += static_cast<char>((text.size() + 2) & 0xFF);
    out += text;
    out.append(jpeg, app0End, std::string::npos);
    return out;
}

}  // namespace lumigrab::bench
