// GIF through giflib's record-level reader, first frame only, line by line.
// The whole-file reader (DGifSlurp) would decode every frame of an animation
// into memory; reading lines of the first image keeps memory to the sink's
// canvas, which for the picture test is one row.
#include <algorithm>
#include <cstring>
#include <vector>

#include <gif_lib.h>

#include "picture/decoders.h"

namespace lumigrab::picture_detail {
namespace {

struct MemoryInput {
    ByteSpan bytes;
    std::size_t position = 0;
};

int ReadFromMemory(GifFileType* gif, GifByteType* out, int wanted) {
    auto* input = static_cast<MemoryInput*>(gif->UserData);
    if (wanted <= 0) return 0;
    const std::size_t left = input->bytes.size() - input->position;
    const std::size_t count = std::min(left, static_cast<std::size_t>(wanted));
    if (count > 0) std::memcpy(out, input->bytes.data() + input->position, count);
    input->position += count;
    return static_cast<int>(count);
}

class GifHandle {
public:
    explicit GifHandle(MemoryInput& input) {
        int error = 0;
        gif_ = DGifOpen(&input, ReadFromMemory, &error);
    }
    GifHandle(const GifHandle&) = delete;
    GifHandle& operator=(const GifHandle&) = delete;
    ~GifHandle() {
        if (gif_ != nullptr) {
            int error = 0;
            DGifCloseFile(gif_, &error);
        }
    }
    GifFileType* get() const { return gif_; }

private:
    GifFileType* gif_ = nullptr;
};

// Reads one extension record whole; remembers the transparent index when it is
// a graphic control block. Returns false on a read error.
bool ReadExtension(GifFileType* gif, int& transparentIndex) {
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
    if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr) {
        GraphicsControlBlock control{};
        if (DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
            transparentIndex = control.TransparentColor;
    }
    while (block != nullptr) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
    }
    return true;
}

// Rows of an interlaced frame arrive in four passes.
std::vector<int> RowOrder(int height, bool interlaced) {
    std::vector<int> order;
    order.reserve(static_cast<std::size_t>(height));
    if (!interlaced) {
        for (int y = 0; y < height; ++y) order.push_back(y);
        return order;
    }
    constexpr int kStart[] = {0, 4, 2, 1};
    constexpr int kStep[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = kStart[pass]; y < height; y += kStep[pass]) order.push_back(y);
    return order;
}

bool ReadFirstFrame(GifFileType* gif, int transparentIndex, RowSink& sink) {
    if (DGifGetImageDesc(gif) == GIF_ERROR) return false;
    const GifImageDesc& frame = gif->Image;
    if (frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0) return false;
    // Some encoders write frames that overhang the logical screen; the canvas
    // grows to hold them rather than cutting the picture.
    const std::int64_t canvasWidth = std::max<std::int64_t>(gif->SWidth, std::int64_t{frame.Left} + frame.Width);
    const std::int64_t canvasHeight =
        std::max<std::int64_t>(gif->SHeight, std::int64_t{frame.Top} + frame.Height);
    if (!FitsLimits(canvasWidth, canvasHeight) || !FitsLimits(frame.Width, frame.Height)) return false;
    const ColorMapObject* map = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
    if (map == nullptr || map->Colors == nullptr || map->ColorCount <= 0) return false;

    sink.Start(static_cast<int>(canvasWidth), static_cast<int>(canvasHeight));
    std::vector<GifPixelType> line(static_cast<std::size_t>(frame.Width));
    for (int y : RowOrder(frame.Height, frame.Interlace)) {
        if (DGifGetLine(gif, line.data(), frame.Width) == GIF_ERROR) return false;
        std::uint8_t* row = sink.Row(frame.Top + y);
        for (int x = 0; x < frame.Width; ++x) {
            const int index = line[static_cast<std::size_t>(x)];
            if (index == transparentIndex) continue;
            if (index >= map->ColorCount) {
                // Codes past the colour table: shown as black, like browsers do.
                PutPixel(row, frame.Left + x, 0, 0, 0, 255);
                continue;
            }
            const GifColorType& c = map->Colors[index];
            PutPixel(row, frame.Left + x, c.Red, c.Green, c.Blue, 255);
        }
    }
    return true;
}

}  // namespace

bool ReadGif(ByteSpan bytes, RowSink& sink) {
    MemoryInput input{bytes};
    GifHandle handle(input);
    GifFileType* gif = handle.get();
    if (gif == nullptr) return false;
    if (gif->SWidth > kMaxPictureSide || gif->SHeight > kMaxPictureSide) return false;

    int transparentIndex = -1;
    // Every record is at least one byte, so this loop ends with the input.
    for (;;) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &record) == GIF_ERROR) return false;
        switch (record) {
            case IMAGE_DESC_RECORD_TYPE: return ReadFirstFrame(gif, transparentIndex, sink);
            case EXTENSION_RECORD_TYPE:
                if (!ReadExtension(gif, transparentIndex)) return false;
                break;
            default: return false;  // trailer or garbage before any image
        }
    }
}

}  // namespace lumigrab::picture_detail
