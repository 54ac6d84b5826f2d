// JPEG through libjpeg(-turbo). libjpeg reports fatal errors by calling
// error_exit, which must not return; we leave with longjmp back into
// DecodeInto. Everything with a destructor lives outside the jumped-over
// region: the session object is made before setjmp and the sink and row
// buffer are owned by the caller, so the jump skips only libjpeg's own C
// frames.
//
// The picture test decodes at 1/8 scale: libjpeg still parses every
// entropy-coded bit (so truncation and corruption are found exactly as at
// full size) but computes one pixel per 8x8 block. Most files need not even
// that: see WholeWithoutDecoding. A file coded in several scans whose
// coefficients could never fit the picture-test budget is judged by its
// markers alone: see Skeleton.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <optional>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <jpeglib.h>
#include <jerror.h>

#include "picture/decode_budget.h"
#include "picture/decoders.h"

namespace lumigrab::picture_detail {
namespace {

// Progressive files may repeat scans endlessly; real encoders use a dozen.
constexpr int kMaxScans = 256;

#ifdef __GLIBC__
constexpr std::size_t kTrimAfterBytes = std::size_t{8} << 20;
#endif

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
    auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::longjmp(manager->jump, 1);
}

// A body cut off mid-transfer makes libjpeg warn and pad the rest with grey.
// A download must not pass such a body as a picture, so that warning fails.
// Other warnings (stray bytes before a marker and the like) are common in
// pictures that every viewer shows, so they are let through.
void EmitMessage(j_common_ptr cinfo, int level) {
    if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) ErrorExit(cinfo);
}

void IgnoreMessage(j_common_ptr) {}

// The marker that ends the entropy-coded data starting at `data`, as
// libjpeg's entropy decoder finds it: 0xFF, any fill 0xFF bytes, then a byte
// other than 0x00 (0xFF 0x00 is a data byte). Nothing when the data runs out
// first.
std::optional<JOCTET> MarkerEndingScan(const JOCTET* data, std::size_t size) {
    const JOCTET* const end = data + size;
    const JOCTET* p = data;
    while (p < end) {
        p = static_cast<const JOCTET*>(std::memchr(p, 0xFF, static_cast<std::size_t>(end - p)));
        if (p == nullptr) return std::nullopt;
        while (p < end && *p == 0xFF) ++p;
        if (p == end) return std::nullopt;
        if (*p != 0x00) return *p;
        ++p;
    }
    return std::nullopt;
}

// For a baseline file coded in one Huffman scan without restart markers,
// started and checked by jpeg_start_decompress, the answer of a whole decode
// is known from the bytes alone. The entropy decoder reads up to the first
// marker and never beyond it, and nothing in the coded data itself can fail
// (a bad code only warns). So the decode runs out of data, the one failure
// left, exactly when no marker comes; and when the marker is the end of the
// image, finishing reads it and succeeds. Any other marker: nullopt, decode.
std::optional<bool> WholeWithoutDecoding(const jpeg_decompress_struct& cinfo) {
    if (cinfo.progressive_mode || cinfo.arith_code || cinfo.restart_interval != 0 ||
        cinfo.comps_in_scan != cinfo.num_components || cinfo.unread_marker != 0)
        return std::nullopt;
    const std::optional<JOCTET> marker = MarkerEndingScan(cinfo.src->next_input_byte, cinfo.src->bytes_in_buffer);
    if (!marker) return false;
    if (*marker == JPEG_EOI) return true;
    return std::nullopt;
}

void CheckScanCount(j_common_ptr cinfo) {
    if (cinfo->is_decompressor) {
        auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
        if (dinfo->input_scan_number > kMaxScans) ErrorExit(cinfo);
    }
}

struct Session {
    jpeg_decompress_struct cinfo{};
    ErrorManager errors{};
    jpeg_progress_mgr progress{};
    bool created = false;
    // Given back when the members go, after the destructor's body has had
    // libjpeg free what it stood for.
    DecodeBudget::Reservation working;

    Session() {
        cinfo.err = jpeg_std_error(&errors.base);
        errors.base.error_exit = ErrorExit;
        errors.base.emit_message = EmitMessage;
        errors.base.output_message = IgnoreMessage;
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (created) jpeg_destroy_decompress(&cinfo);
#ifdef __GLIBC__
        // glibc keeps freed blocks under 32 MiB (a chroma plane's
        // coefficients, say) in the arena of the thread that freed them;
        // with many workers over many arenas, memory held back that way
        // would outgrow the budget. A trim costs about a millisecond with
        // a hundred threads, small beside decoding a picture this large.
        if (working.bytes() >= kTrimAfterBytes) malloc_trim(0);
#endif
    }
};

// A file with more than one scan (every progressive file, and sequential ones
// that code the components in separate scans) is read whole into one array
// of coefficient blocks per component before the first row comes out, padded
// to whole MCUs, at any output scale. Known once the header and the first
// scan header are read.
std::size_t CoefficientBufferBytes(const jpeg_decompress_struct& cinfo) {
    if (!cinfo.progressive_mode && cinfo.comps_in_scan >= cinfo.num_components) return 0;
    std::uint64_t blocks = 0;
    for (int ci = 0; ci < cinfo.num_components; ++ci) {
        const jpeg_component_info& c = cinfo.comp_info[ci];
        const auto roundUp = [](std::uint64_t n, std::uint64_t step) { return (n + step - 1) / step * step; };
        blocks += roundUp(c.width_in_blocks, static_cast<std::uint64_t>(c.h_samp_factor)) *
                  roundUp(c.height_in_blocks, static_cast<std::uint64_t>(c.v_samp_factor));
    }
    return static_cast<std::size_t>(blocks * sizeof(JBLOCK));
}

// Adobe writes CMYK inverted; libjpeg hands the bytes over as stored.
void CmykRowToRgba(const JSAMPLE* cmyk, std::uint8_t* rgba, int width, bool inverted) {
    for (int x = 0; x < width; ++x) {
        int c = cmyk[x * 4], m = cmyk[x * 4 + 1], y = cmyk[x * 4 + 2], k = cmyk[x * 4 + 3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        rgba[x * 4] = static_cast<std::uint8_t>((c * k + 127) / 255);
        rgba[x * 4 + 1] = static_cast<std::uint8_t>((m * k + 127) / 255);
        rgba[x * 4 + 2] = static_cast<std::uint8_t>((y * k + 127) / 255);
        rgba[x * 4 + 3] = 255;
    }
}

enum class Verdict { No, Yes, BeyondBudget };

// No on any libjpeg error. The sink's rows and `cmykRow` are allocated here
// but owned by the caller so that a longjmp leaks nothing. A picture test
// whose coefficients exceed the whole budget stops at BeyondBudget after the
// header; a skeleton's test (a few blocks) takes nothing from the budget.
Verdict DecodeInto(Session& s, ByteSpan bytes, RowSink& sink, std::vector<JSAMPLE>& cmykRow, bool skeleton) {
    if (setjmp(s.errors.jump) != 0) return Verdict::No;

    jpeg_create_decompress(&s.cinfo);
    s.created = true;
    s.progress.progress_monitor = CheckScanCount;
    s.cinfo.progress = &s.progress;
    jpeg_mem_src(&s.cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&s.cinfo, TRUE) != JPEG_HEADER_OK) return Verdict::No;
    if (!FitsLimits(s.cinfo.image_width, s.cinfo.image_height)) return Verdict::No;

    const bool cmyk = s.cinfo.jpeg_color_space == JCS_CMYK || s.cinfo.jpeg_color_space == JCS_YCCK;
    s.cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
    if (!sink.KeepsPixels()) {
        s.cinfo.scale_num = 1;
        s.cinfo.scale_denom = 8;
        if (!skeleton) {
            const std::size_t coefficients = CoefficientBufferBytes(s.cinfo);
            if (coefficients > PictureTestBudget().capacity()) return Verdict::BeyondBudget;
            s.working = PictureTestBudget().Reserve(coefficients, sink.Cancel());
        }
        if (sink.Cancel() != nullptr && sink.Cancel()->load(std::memory_order_relaxed)) return Verdict::No;
    }
    jpeg_start_decompress(&s.cinfo);
    const int width = static_cast<int>(s.cinfo.output_width);
    const int height = static_cast<int>(s.cinfo.output_height);
    if (!FitsLimits(width, height) || s.cinfo.output_components != 4) return Verdict::No;

    if (!sink.KeepsPixels()) {
        if (const std::optional<bool> whole = WholeWithoutDecoding(s.cinfo))
            return *whole ? Verdict::Yes : Verdict::No;
    }
    sink.Start(width, height);
    if (cmyk) cmykRow.resize(static_cast<std::size_t>(width) * 4);
    while (s.cinfo.output_scanline < s.cinfo.output_height) {
        std::uint8_t* out = sink.Row(static_cast<int>(s.cinfo.output_scanline));
        JSAMPROW row = cmyk ? cmykRow.data() : out;
        if (jpeg_read_scanlines(&s.cinfo, &row, 1) != 1) return Verdict::No;
        if (cmyk) CmykRowToRgba(cmykRow.data(), out, width, s.cinfo.saw_Adobe_marker);
    }
    jpeg_finish_decompress(&s.cinfo);
    return Verdict::Yes;
}

Verdict Decode(ByteSpan bytes, RowSink& sink, bool skeleton) {
    Session session;
    std::vector<JSAMPLE> cmykRow;
    return DecodeInto(session, bytes, sink, cmykRow, skeleton);
}

// Where the marker after `at` starts, read as libjpeg reads between segments
// and through entropy-coded data alike: bytes up to an 0xFF are skipped, fill
// 0xFF bytes swallowed, and 0xFF 0x00 is data. Nothing when the bytes run
// out first, as they do in a cut body.
std::optional<std::size_t> NextMarker(ByteSpan bytes, std::size_t at) {
    const std::size_t size = bytes.size();
    while (at < size) {
        const void* found = std::memchr(bytes.data() + at, 0xFF, size - at);
        if (found == nullptr) return std::nullopt;
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes.data());
        std::size_t code = at + 1;
        while (code < size && bytes[code] == 0xFF) ++code;
        if (code == size) return std::nullopt;
        if (bytes[code] != 0x00) return code - 1;
        at = code + 1;
    }
    return std::nullopt;
}

bool IsFrameMarker(std::uint8_t code) {
    return code == 0xC0 || code == 0xC1 || code == 0xC2 || code == 0xC9 || code == 0xCA;
}

// The file with every scan's coded data left out and the frame made one MCU
// large; its length when `out` is null. Every marker segment libjpeg acts on
// is kept byte for byte, in order, so decoding the skeleton runs libjpeg's
// own checks of the frame, the tables, each scan's header and the scan count,
// while the coded data, where a full decode finds nothing fatal but an early
// end, only has to lead to the next marker; the end-of-image marker must
// come. Application segments and comments that libjpeg skips unread are
// emptied. Nothing when the bytes end first.
//
// Coded data in a scan with restart markers can hold a marker below 0xC0
// that a full decode steps over while resynchronising; here, as between
// segments, it is refused. The judgement is otherwise the full decode's.
std::optional<std::size_t> Skeleton(ByteSpan bytes, std::vector<JOCTET>* out) {
    std::size_t length = 0;
    const auto put = [&](std::span<const std::uint8_t> piece) {
        if (out != nullptr) out->insert(out->end(), piece.begin(), piece.end());
        length += piece.size();
    };
    put(bytes.first(2));  // the start-of-image marker, checked by the header read
    bool frameSeen = false;
    std::size_t at = 2;
    for (;;) {
        const std::optional<std::size_t> marker = NextMarker(bytes, at);
        if (!marker) return std::nullopt;
        const std::uint8_t code = bytes[*marker + 1];
        at = *marker + 2;
        if ((code >= 0xD0 && code <= 0xD7) || code == 0x01) continue;  // restart markers and TEM: no segment
        if (code == 0xD9) {
            put(bytes.subspan(*marker, 2));
            return length;
        }
        if (code == 0xD8 || code < 0xC0) {
            // libjpeg refuses these where they stand: end the skeleton there.
            put(bytes.subspan(*marker, 2));
            return length;
        }
        if (at + 2 > bytes.size()) return std::nullopt;
        const std::size_t segment = std::max<std::size_t>((bytes[at] << 8) | bytes[at + 1], 2);
        if (segment > bytes.size() - at) return std::nullopt;
        const bool skipped = (code >= 0xE1 && code <= 0xED) || code == 0xEF || code == 0xFE;
        if (skipped) {
            const std::uint8_t empty[] = {0xFF, code, 0x00, 0x02};
            put(empty);
        } else if (IsFrameMarker(code) && !frameSeen && segment >= 8) {
            frameSeen = true;
            // One MCU: 8 times the largest sampling factors (horizontal in
            // the high nibble, vertical in the low) of the components.
            int wide = 1, tall = 1;
            const std::size_t components = bytes[at + 7];
            for (std::size_t i = 0; i < components && 8 + 3 * i + 3 <= segment; ++i) {
                const std::uint8_t factors = bytes[at + 8 + 3 * i + 1];
                wide = std::max(wide, factors >> 4);
                tall = std::max(tall, factors & 0x0F);
            }
            // Marker, length and precision; then height and width, each in two bytes.
            const std::uint8_t head[] = {0xFF, code, bytes[at], bytes[at + 1], bytes[at + 2],
                                         0, static_cast<std::uint8_t>(8 * tall), 0, static_cast<std::uint8_t>(8 * wide)};
            put(head);
            put(bytes.subspan(at + 7, segment - 7));
        } else {
            put(bytes.subspan(*marker, segment + 2));
        }
        at += segment;
    }
}

// For a file whose coefficients could never fit the budget. The skeleton's
// own bytes are working memory like any other and come from the budget.
bool WholeByMarkers(ByteSpan bytes, RowSink& sink) {
    const std::optional<std::size_t> length = Skeleton(bytes, nullptr);
    if (!length) return false;
    const DecodeBudget::Reservation working = PictureTestBudget().Reserve(*length, sink.Cancel());
    if (sink.Cancel() != nullptr && sink.Cancel()->load(std::memory_order_relaxed)) return false;
    std::vector<JOCTET> skeleton;
    skeleton.reserve(*length);
    Skeleton(bytes, &skeleton);
    return Decode(skeleton, sink, true) == Verdict::Yes;
}

// The header alone: whether the picture test would judge the file by its
// markers. False for anything libjpeg refuses before that.
bool HeaderBeyondBudget(Session& s, ByteSpan bytes) {
    if (setjmp(s.errors.jump) != 0) return false;
    jpeg_create_decompress(&s.cinfo);
    s.created = true;
    jpeg_mem_src(&s.cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&s.cinfo, TRUE) != JPEG_HEADER_OK) return false;
    return FitsLimits(s.cinfo.image_width, s.cinfo.image_height) &&
           CoefficientBufferBytes(s.cinfo) > PictureTestBudget().capacity();
}

}  // namespace

bool JpegJudgedByMarkers(ByteSpan bytes) {
    Session session;
    return HeaderBeyondBudget(session, bytes);
}

bool ReadJpeg(ByteSpan bytes, RowSink& sink) {
    switch (Decode(bytes, sink, false)) {
        case Verdict::No: return false;
        case Verdict::Yes: return true;
        case Verdict::BeyondBudget: break;
    }
    return WholeByMarkers(bytes, sink);
}

}  // namespace lumigrab::picture_detail
