#pragma once
// Shared pieces of the format decoders. Each decoder is handed the whole body;
// none of them checks the signature again beyond what its own parsing needs.
//
// Every decoder but PNG's hands its pixels, row by row, to a RowSink.
// DecodePicture passes an ImageSink, which keeps them all; IsPicture passes a
// ScratchSink, which keeps one row that every row overwrites, so testing a
// picture costs one row of memory however large the picture says it is. The
// checks, the refusals and the per-line code are the same for both, which is
// what keeps the two answers the same. PNG goes through libpng's whole-image
// reader for display and its row reader for the test.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "picture/picture.h"

namespace lumigrab::picture_detail {

using ByteSpan = std::span<const std::uint8_t>;

// Header dimensions are checked with this before a single pixel is allocated.
bool FitsLimits(std::int64_t width, std::int64_t height);

// A transparent black canvas; the caller has checked FitsLimits.
Image BlankImage(int width, int height);

class RowSink {
public:
    RowSink() = default;
    RowSink(const RowSink&) = delete;
    RowSink& operator=(const RowSink&) = delete;
    virtual ~RowSink() = default;

    // False for the picture test, where only the yes/no counts: decoders may
    // then read at lower fidelity (JPEG at 1/8 scale), skip passes that only
    // change pixels already written, and take large working memory from the
    // picture-test budget (the display decode must never wait for it).
    virtual bool KeepsPixels() const = 0;
    // The canvas size, already checked against the limits; called once,
    // before the first Row.
    virtual void Start(int width, int height) = 0;
    // Row y of the canvas as width * 4 RGBA bytes for the decoder to fill.
    // What it leaves alone is transparent black in a kept image; in a scratch
    // row it is whatever an earlier row left there.
    virtual std::uint8_t* Row(int y) = 0;
    // Raised when the caller no longer wants the answer (a stopped run);
    // only waits for the picture-test budget look at it.
    virtual const std::atomic<bool>* Cancel() const { return nullptr; }
};

class ImageSink final : public RowSink {
public:
    bool KeepsPixels() const override { return true; }
    void Start(int width, int height) override { image = BlankImage(width, height); }
    std::uint8_t* Row(int y) override {
        return image.rgba.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) * 4;
    }

    Image image;
};

class ScratchSink final : public RowSink {
public:
    explicit ScratchSink(const std::atomic<bool>* cancel = nullptr) : cancel_(cancel) {}
    bool KeepsPixels() const override { return false; }
    void Start(int width, int) override { row_.assign(static_cast<std::size_t>(width) * 4, 0); }
    std::uint8_t* Row(int) override { return row_.data(); }
    const std::atomic<bool>* Cancel() const override { return cancel_; }

private:
    const std::atomic<bool>* cancel_;
    std::vector<std::uint8_t> row_;
};

bool ReadJpeg(ByteSpan bytes, RowSink& sink);
// Whether ReadJpeg, testing, judges `bytes` by their markers alone.
bool JpegJudgedByMarkers(ByteSpan bytes);
bool ReadGif(ByteSpan bytes, RowSink& sink);
bool ReadBmp(ByteSpan bytes, RowSink& sink);
bool ReadPcx(ByteSpan bytes, RowSink& sink);
std::optional<Image> DecodePng(ByteSpan bytes);
// True when DecodePng would return an image; holds a few rows at a time.
bool TestPng(ByteSpan bytes);

// A device-independent bitmap: the info header, masks, palette and pixels as
// found in a BMP file after its 14-byte file header, or as an icon entry.
// `pixelOffset` is where the pixels start within `dib` when a file header
// says so; otherwise they follow the palette. Icon entries store twice the
// height and an AND mask after the colour pixels.
bool ReadDib(ByteSpan dib, std::optional<std::size_t> pixelOffset, bool iconEntry, RowSink& sink);

// The entry of an icon or cursor file that is shown, or nothing when the
// directory is damaged. Icons and cursors share one layout; only the type
// word differs. An entry holds a DIB or, when IsPngData, a whole PNG file.
std::optional<ByteSpan> PickIconEntry(ByteSpan bytes, std::uint16_t type);
bool IsPngData(ByteSpan data);

inline void PutPixel(std::uint8_t* row, int x, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
    std::uint8_t* p = row + static_cast<std::size_t>(x) * 4;
    p[0] = r;
    p[1] = g;
    p[2] = b;
    p[3] = a;
}

// Little-endian reads that refuse to step past the end instead of trusting
// offsets taken from the file.
inline bool HasBytes(ByteSpan bytes, std::size_t offset, std::size_t count) {
    return offset <= bytes.size() && count <= bytes.size() - offset;
}
inline std::uint16_t U16(ByteSpan b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint32_t U32(ByteSpan b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline std::int32_t S32(ByteSpan b, std::size_t at) { return static_cast<std::int32_t>(U32(b, at)); }

}  // namespace lumigrab::picture_detail
