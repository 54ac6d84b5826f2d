#pragma once
// Picture decoding: "decode these bytes into an image or say no". The leading
// bytes pick the one decoder that may accept a body; fewer than 8 bytes is never
// a picture. Hostile input is refused, never crashes, hangs or takes memory
// beyond the size limits.
//
// Refusals beyond the obvious ones:
// - a side above kMaxPictureSide or an area above kMaxPicturePixels, decided
//   from the header before any pixel memory is taken;
// - a truncated JPEG: libjpeg would pad the missing data with grey and warn,
//   we treat that warning as failure, so a body cut off mid-transfer is never
//   saved as a picture;
// - a truncated PNG, GIF first frame, BMP, icon entry or PCX scan.
#include <atomic>
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

// Which decoder the leading bytes select. None for bodies under 8 bytes and
// for bodies that start like no known format.
enum class PictureFormat { None, Jpeg, Png, Gif, Bmp, Icon, Cursor, Pcx };

inline constexpr int kMaxPictureSide = 16384;
inline constexpr std::int64_t kMaxPicturePixels = std::int64_t{64} * 1024 * 1024;
inline constexpr std::size_t kMinPictureBytes = 8;

PictureFormat SniffPicture(std::span<const std::uint8_t> bytes);

// The whole picture, for display. Never waits; holds up to a full canvas
// (kMaxPicturePixels * 4 bytes) and the decoder's working memory.
std::optional<Image> DecodePicture(std::span<const std::uint8_t> bytes);
// True when DecodePicture would return an image. Runs the same checks over
// the same data without keeping the picture: memory is a row or so, except a
// JPEG coded in several scans, whose coefficients it takes from the
// process-wide picture-test budget (picture/decode_budget.h), waiting while
// other tests hold it. For worker threads, not the window thread. Once
// `cancel` (may be null) is raised the answer may be a false "no".
bool IsPicture(std::span<const std::uint8_t> bytes, const std::atomic<bool>* cancel = nullptr);

}  // namespace lumigrab
