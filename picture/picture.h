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

// "jpeg", "png", "gif", "bmp", "ico", "cur", "pcx"; "" for None.
const char* PictureFormatName(PictureFormat format);

// The format and the size its header states, read from the first bytes
// alone: cheap enough to ask of every body, but no promise that the rest
// decodes (that is IsPicture's answer). Width and height are 0 when the
// header is too short to say.
struct PictureHeader {
    PictureFormat format = PictureFormat::None;
    int width = 0;
    int height = 0;
};
PictureHeader ReadPictureHeader(std::span<const std::uint8_t> bytes);

// The whole picture, for display. Never waits; holds up to a full canvas
// (kMaxPicturePixels * 4 bytes) and the decoder's working memory.
std::optional<Image> DecodePicture(std::span<const std::uint8_t> bytes);
// True when DecodePicture would return an image. Runs the same checks over
// the same data without keeping the picture: memory is a row or so, except a
// JPEG coded in several scans, whose coefficients it takes from the
// process-wide picture-test budget (picture/decode_budget.h), waiting while
// other tests hold it. For worker threads, not the window thread. Once
// `cancel` (may be null) is raised the answer may be a false "no".
//
// A JPEG whose coefficients exceed the whole budget (up to 512 MiB for a
// 64-megapixel CMYK file) is not decoded but judged by its markers alone
// (see JudgedByMarkersAlone), so that no test outgrows the budget.
bool IsPicture(std::span<const std::uint8_t> bytes, const std::atomic<bool>* cancel = nullptr);

// True for the JPEGs IsPicture judges by their markers alone: coded in
// several scans, with more coefficients than the whole picture-test budget.
// Every marker segment and scan header goes through libjpeg's own checks and
// the end-of-image marker must come, but the coded data is only stepped
// over. So the answer can differ from DecodePicture's where the full decode
// runs out of memory (the test says yes), or where coded data in a scan with
// restart markers holds a marker below 0xFFC0 that the full decode steps
// over while resynchronising (the test says no).
bool JudgedByMarkersAlone(std::span<const std::uint8_t> bytes);

}  // namespace lumigrab
