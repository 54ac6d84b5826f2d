#pragma once
// Deterministic picture files for the stand-in: the same arguments always give
// the same bytes, so tests can compare downloaded files byte for byte.
#include <cstdint>
#include <vector>

namespace lumigrab::standin::detail {

using Bytes = std::vector<std::uint8_t>;

enum class Format { Jpeg, Png, Gif };

// Natural size of picture `id`: what a page reports when no filter is set.
int NaturalWidth(int id);
int NaturalHeight(int id);
// A thumbnail is a quarter of the full size on each side, never below 8.
int ThumbnailSide(int fullSide);

// Encodes a width x height picture whose pattern depends on id. Sides are
// clamped to [1, kMaxPictureSide]. Throws std::runtime_error if the encoder
// fails, which only happens when memory runs out.
Bytes EncodePicture(Format format, int id, int width, int height);

}  // namespace lumigrab::standin::detail
