// Cut and scrambled copies of valid pictures of every format: whatever the
// decoders make of them, they must answer (image or refusal) without reading
// out of bounds, and any image they return must be whole. Best run under the
// address sanitizer build, where a stray read fails the test.
#include <gtest/gtest.h>

#include <random>

#include "picture/picture.h"
#include "samples.h"

namespace lumigrab {
namespace {

using testing::Bytes8;
using testing::NamedSample;

void ExpectWholeOrNothing(std::span<const std::uint8_t> bytes, const char* name, std::size_t step) {
    const auto image = DecodePicture(bytes);
    EXPECT_EQ(image.has_value(), IsPicture(bytes)) << name << " " << step;
    if (!image) return;
    EXPECT_GT(image->width, 0) << name << " " << step;
    EXPECT_GT(image->height, 0) << name << " " << step;
    EXPECT_LE(std::int64_t{image->width} * image->height, kMaxPicturePixels);
    EXPECT_EQ(image->rgba.size(), static_cast<std::size_t>(image->width) * image->height * 4) << name << " " << step;
}

TEST(Robustness, EveryPrefixAnswersSafely) {
    for (const NamedSample& s : testing::EveryFormatSamples()) {
        ASSERT_FALSE(s.bytes.empty()) << s.name;
        ASSERT_TRUE(IsPicture(s.bytes)) << s.name;
        for (std::size_t n = 0; n <= s.bytes.size(); ++n) {
            // Copied so the sanitizer sees the exact end of each prefix.
            const Bytes8 cut(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(n));
            ExpectWholeOrNothing(cut, s.name, n);
        }
    }
}

TEST(Robustness, ScrambledBytesAnswerSafely) {
    std::mt19937 random(20261207);
    for (const NamedSample& s : testing::EveryFormatSamples()) {
        std::uniform_int_distribution<std::size_t> position(0, s.bytes.size() - 1);
        std::uniform_int_distribution<int> value(0, 255);
        std::uniform_int_distribution<int> flips(1, 6);
        for (int round = 0; round < 600; ++round) {
            Bytes8 bytes = s.bytes;
            const int count = flips(random);
            for (int i = 0; i < count; ++i) {
                // Headers hold the interesting fields; hit them more often.
                const std::size_t at = (i % 2 == 0) ? position(random) % std::min<std::size_t>(bytes.size(), 160)
                                                    : position(random);
                bytes[at] = static_cast<std::uint8_t>(value(random));
            }
            ExpectWholeOrNothing(bytes, s.name, static_cast<std::size_t>(round));
        }
    }
}

}  // namespace
}  // namespace lumigrab
