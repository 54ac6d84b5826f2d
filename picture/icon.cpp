// Icon and cursor files: a directory of entries, each a bitmap with an AND
// mask or an embedded PNG. We show the largest entry, the deepest colour
// breaking ties, as a desktop would for a big icon.
#include <algorithm>
#include <array>

#include "picture/decoders.h"

namespace lumigrab::picture_detail {
namespace {

constexpr std::size_t kDirectoryHeaderSize = 6;
constexpr std::size_t kEntrySize = 16;
constexpr std::array<std::uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct Entry {
    int width = 0;
    int height = 0;
    int bitCount = 0;
    std::size_t offset = 0;
    std::size_t size = 0;
};

}  // namespace

std::optional<ByteSpan> PickIconEntry(ByteSpan bytes, std::uint16_t type) {
    if (!HasBytes(bytes, 0, kDirectoryHeaderSize)) return std::nullopt;
    if (U16(bytes, 0) != 0 || U16(bytes, 2) != type) return std::nullopt;
    const std::size_t count = U16(bytes, 4);
    if (count == 0 || !HasBytes(bytes, kDirectoryHeaderSize, count * kEntrySize)) return std::nullopt;

    std::optional<Entry> best;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = kDirectoryHeaderSize + i * kEntrySize;
        Entry e;
        e.width = bytes[at] == 0 ? 256 : bytes[at];
        e.height = bytes[at + 1] == 0 ? 256 : bytes[at + 1];
        // In cursors these two words hold the hot spot instead.
        e.bitCount = type == 1 ? U16(bytes, at + 6) : 0;
        e.size = U32(bytes, at + 8);
        e.offset = U32(bytes, at + 12);
        // An entry that points past the end means the file was cut short.
        if (e.size == 0 || !HasBytes(bytes, e.offset, e.size)) return std::nullopt;
        const auto area = [](const Entry& x) { return x.width * x.height; };
        if (!best || area(e) > area(*best) || (area(e) == area(*best) && e.bitCount > best->bitCount))
            best = e;
    }

    return bytes.subspan(best->offset, best->size);
}

bool IsPngData(ByteSpan data) {
    return data.size() >= kPngSignature.size() && std::equal(kPngSignature.begin(), kPngSignature.end(), data.begin());
}

}  // namespace lumigrab::picture_detail
