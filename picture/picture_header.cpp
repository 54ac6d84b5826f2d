// Format and stated size from a picture's first bytes, for front ends that
// judge pictures by size or kind without decoding them a second time.
#include <cstdlib>

#include <algorithm>

#include "picture/decoders.h"
#include "picture/picture.h"

namespace lumigrab {
namespace {

using ByteSpan = std::span<const std::uint8_t>;

unsigned Be16(ByteSpan b, std::size_t at) { return unsigned(b[at]) << 8 | b[at + 1]; }
unsigned Le16(ByteSpan b, std::size_t at) { return unsigned(b[at + 1]) << 8 | b[at]; }
std::uint32_t Be32(ByteSpan b, std::size_t at) { return std::uint32_t(Be16(b, at)) << 16 | Be16(b, at + 2); }
std::uint32_t Le32(ByteSpan b, std::size_t at) { return std::uint32_t(Le16(b, at + 2)) << 16 | Le16(b, at); }

// Sides beyond what any decoder accepts are reported as 0 ("cannot say"),
// never as a wrapped-around number.
int Side(std::int64_t value) {
    value = std::llabs(value);
    return value > 0 && value <= kMaxPictureSide ? static_cast<int>(value) : 0;
}

// The first start-of-frame segment, stepping over the segments before it.
void JpegSize(ByteSpan b, PictureHeader& header) {
    std::size_t at = 2;
    while (at + 4 <= b.size()) {
        if (b[at] != 0xFF) return;
        const std::uint8_t marker = b[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9)) {  // no length
            at += 2;
            continue;
        }
        const std::size_t length = Be16(b, at + 2);
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (at + 9 > b.size() || length < 7) return;
            header.height = Side(Be16(b, at + 5));
            header.width = Side(Be16(b, at + 7));
            return;
        }
        if (length < 2) return;
        at += 2 + length;
    }
}

// The size a DIB header states; an icon entry's stored height counts its
// mask rows as well.
void DibSize(ByteSpan dib, bool iconEntry, PictureHeader& header) {
    if (dib.size() >= 8 && Le32(dib, 0) == 12) {  // the old core header: 16-bit sides
        header.width = Side(Le16(dib, 4));
        header.height = Side(Le16(dib, 6));
    } else if (dib.size() >= 12) {  // negative height: rows top to bottom
        header.width = Side(static_cast<std::int32_t>(Le32(dib, 4)));
        header.height = Side(static_cast<std::int32_t>(Le32(dib, 8)));
    } else {
        return;
    }
    if (iconEntry) header.height /= 2;
}

// The logical screen, grown to hold a first frame that overhangs it, as the
// decoder draws it.
void GifSize(ByteSpan b, PictureHeader& header) {
    if (b.size() < 13) return;
    std::int64_t width = Le16(b, 6), height = Le16(b, 8);
    std::size_t at = 13;
    if (b[10] & 0x80) at += 3u << ((b[10] & 7) + 1);
    while (at < b.size()) {
        if (b[at] == 0x21) {  // an extension: its label, then sub-blocks to an empty one
            at += 2;
            while (at < b.size() && b[at] != 0) at += 1u + b[at];
            ++at;
        } else if (b[at] == 0x2C && at + 9 <= b.size()) {
            width = std::max<std::int64_t>(width, std::int64_t{Le16(b, at + 1)} + Le16(b, at + 5));
            height = std::max<std::int64_t>(height, std::int64_t{Le16(b, at + 3)} + Le16(b, at + 7));
            break;
        } else {
            break;
        }
    }
    header.width = Side(width);
    header.height = Side(height);
}

}  // namespace

const char* PictureFormatName(PictureFormat format) {
    switch (format) {
        case PictureFormat::Jpeg: return "jpeg";
        case PictureFormat::Png: return "png";
        case PictureFormat::Gif: return "gif";
        case PictureFormat::Bmp: return "bmp";
        case PictureFormat::Icon: return "ico";
        case PictureFormat::Cursor: return "cur";
        case PictureFormat::Pcx: return "pcx";
        case PictureFormat::None: break;
    }
    return "";
}

PictureHeader ReadPictureHeader(ByteSpan b) {
    PictureHeader header;
    header.format = SniffPicture(b);
    switch (header.format) {
        case PictureFormat::Jpeg:
            JpegSize(b, header);
            break;
        case PictureFormat::Png:  // IHDR comes first, right after the signature
            if (b.size() >= 24) {
                header.width = Side(Be32(b, 16));
                header.height = Side(Be32(b, 20));
            }
            break;
        case PictureFormat::Gif:
            GifSize(b, header);
            break;
        case PictureFormat::Bmp:
            if (b.size() >= 14) DibSize(b.subspan(14), false, header);
            break;
        case PictureFormat::Icon:
        case PictureFormat::Cursor:  // the entry the decoder shows
            if (const auto entry = picture_detail::PickIconEntry(b, header.format == PictureFormat::Icon ? 1 : 2)) {
                if (picture_detail::IsPngData(*entry)) {
                    const PictureHeader png = ReadPictureHeader(*entry);
                    header.width = png.width;
                    header.height = png.height;
                } else {
                    DibSize(*entry, true, header);
                }
            }
            break;
        case PictureFormat::Pcx:  // inclusive window corners
            if (b.size() >= 12) {
                header.width = Side(std::int64_t(Le16(b, 8)) - Le16(b, 4) + 1);
                header.height = Side(std::int64_t(Le16(b, 10)) - Le16(b, 6) + 1);
            }
            break;
        case PictureFormat::None:
            break;
    }
    return header;
}

}  // namespace lumigrab
