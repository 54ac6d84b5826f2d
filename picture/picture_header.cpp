// Format and stated size from a picture's first bytes, for front ends that
// judge pictures by size or kind without decoding them a second time.
#include <cstdlib>

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
        case PictureFormat::Gif:  // the logical screen
            if (b.size() >= 10) {
                header.width = Side(Le16(b, 6));
                header.height = Side(Le16(b, 8));
            }
            break;
        case PictureFormat::Bmp:
            if (b.size() >= 26 && Le32(b, 14) == 12) {  // the old core header: 16-bit sides
                header.width = Side(Le16(b, 18));
                header.height = Side(Le16(b, 20));
            } else if (b.size() >= 26) {  // negative height: rows top to bottom
                header.width = Side(static_cast<std::int32_t>(Le32(b, 18)));
                header.height = Side(static_cast<std::int32_t>(Le32(b, 22)));
            }
            break;
        case PictureFormat::Icon:
        case PictureFormat::Cursor:  // the first entry; 0 stands for 256
            if (b.size() >= 8) {
                header.width = b[6] == 0 ? 256 : b[6];
                header.height = b[7] == 0 ? 256 : b[7];
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
