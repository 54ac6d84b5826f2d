#include "text/encoding.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cstdint>

#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace lumigrab {
namespace {

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

// Opening a converter costs far more than a conversion, and converters are
// not thread-safe, so each thread keeps its own pair.
Converter OpenConverter(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    Converter conv(ucnv_open(name, &status));
    if (U_FAILURE(status)) return nullptr;
    // A character without a mapping becomes the code page's "?", and invalid
    // input is replaced (ICU's default substitute callbacks), never rejected.
    status = U_ZERO_ERROR;
    ucnv_setSubstChars(conv.get(), "?", 1, &status);
    return conv;
}

UConverter* Gbk936() {
    // Windows' code page 936 table, whatever this machine's locale says.
    thread_local Converter conv = OpenConverter("windows-936");
    return conv.get();
}

UConverter* Utf8() {
    thread_local Converter conv = OpenConverter("UTF-8");
    return conv.get();
}

std::string_view UpToZero(std::string_view s) {
    const size_t zero = s.find('\0');
    return zero == std::string_view::npos ? s : s.substr(0, zero);
}

// Every page and record goes through the two conversions below, and a fresh
// zero-filled buffer for each costs more than the conversion (large ones are
// fresh pages from the kernel every time). Each thread keeps its working
// buffers between calls instead, up to this size; a larger text gets its
// own for the call, so one huge page leaves nothing behind.
constexpr std::size_t kKeptBufferBytes = std::size_t{1} << 20;

template <typename S>
S& WorkBuffer(S& kept, S& own, std::size_t units) {
    S& buffer = units * sizeof(typename S::value_type) <= kKeptBufferBytes ? kept : own;
    if (buffer.size() < units) buffer.resize(units);
    return buffer;
}

// `in` as UTF-16, in a work buffer; nullopt on failure.
std::optional<std::span<char16_t>> ToUtf16Buffer(UConverter* conv, std::string_view in, std::u16string& own) {
    if (!conv) return std::nullopt;
    thread_local std::u16string kept;
    // Every input byte yields at most two UTF-16 units.
    std::u16string& out = WorkBuffer(kept, own, in.size() * 2 + 2);
    ucnv_resetToUnicode(conv);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = ucnv_toUChars(conv, reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                                    in.data(), static_cast<int32_t>(in.size()), &status);
    if (U_FAILURE(status)) return std::nullopt;
    return std::span<char16_t>(out.data(), static_cast<size_t>(n));
}

std::string FromUtf16(UConverter* conv, std::u16string_view in) {
    if (!conv) return {};
    thread_local std::string kept;
    std::string own;
    // UTF-8 needs at most three bytes per UTF-16 unit, GBK at most two.
    std::string& out = WorkBuffer(kept, own, in.size() * 3 + 4);
    ucnv_resetFromUnicode(conv);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = ucnv_fromUChars(conv, out.data(), static_cast<int32_t>(out.size()),
                                      reinterpret_cast<const UChar*>(in.data()),
                                      static_cast<int32_t>(in.size()), &status);
    if (U_FAILURE(status)) return {};
    return std::string(out.data(), static_cast<size_t>(n));
}

// A copy of its own, for callers that convert again while they hold it.
std::u16string ToUtf16(UConverter* conv, std::string_view in) {
    std::u16string own;
    const std::optional<std::span<char16_t>> units = ToUtf16Buffer(conv, in, own);
    return units ? std::u16string(units->begin(), units->end()) : std::u16string();
}

// Format characters (zero-width spaces and joiners, the byte-order mark, the
// soft hyphen, bidi marks) and variation selectors change no letter of the
// text they sit in, and text pasted from pages and chat programs is full of
// them. GBK holds none of them, so they are left out rather than shown as
// "?". ICU's substitution already skips most (the default-ignorable ones);
// this covers the rest of the category alike.
bool Invisible(UChar32 c) {
    return u_charType(c) == U_FORMAT_CHAR || u_hasBinaryProperty(c, UCHAR_VARIATION_SELECTOR);
}

// Calls visit(c, start, end) for each character of the visible text, with
// the span of code units it takes.
template <typename Visit>
void EachVisibleCharacter(std::u16string_view units, Visit visit) {
    int32_t at = 0;
    const auto length = static_cast<int32_t>(units.size());
    while (at < length) {
        const int32_t start = at;
        UChar32 c = 0;
        U16_NEXT(units.data(), at, length, c);
        if (!Invisible(c)) visit(c, static_cast<size_t>(start), static_cast<size_t>(at));
    }
}

// Both code pages write the ASCII characters as ASCII, and none of them is
// left out as invisible: addresses, numbers and most names need no
// converter at all.
bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
    gbk = UpToZero(gbk);
    if (IsAscii(gbk)) return std::string(gbk);
    std::u16string own;
    const std::optional<std::span<char16_t>> units = ToUtf16Buffer(Gbk936(), gbk, own);
    return units ? FromUtf16(Utf8(), std::u16string_view(units->data(), units->size())) : std::string();
}

Text Utf8ToGbk(std::string_view utf8) {
    utf8 = UpToZero(utf8);
    if (IsAscii(utf8)) return Text(utf8);
    std::u16string own;
    const std::optional<std::span<char16_t>> units = ToUtf16Buffer(Utf8(), utf8, own);
    if (!units) return {};
    // The invisible characters are left out in place: a character is moved
    // only to where characters already read were.
    char16_t* data = units->data();
    std::size_t kept = 0;
    EachVisibleCharacter(std::u16string_view(data, units->size()), [&](UChar32, size_t start, size_t end) {
        for (size_t i = start; i < end; ++i) data[kept++] = data[i];
    });
    return FromUtf16(Gbk936(), std::u16string_view(data, kept));
}

std::u32string CharactersWithoutGbk(std::string_view utf8) {
    const std::u16string units = ToUtf16(Utf8(), utf8);
    std::u32string missing;
    // A character has a GBK form exactly when it survives the round trip;
    // ICU's substitution turns the others into "?", which does not. One the
    // conversion leaves out loses the user nothing.
    EachVisibleCharacter(units, [&](UChar32 c, size_t start, size_t end) {
        const std::u16string one(units, start, end - start);
        const std::string gbk = FromUtf16(Gbk936(), one);
        if (c == 0 || (!gbk.empty() && ToUtf16(Gbk936(), gbk) != one)) {
            if (std::find(missing.begin(), missing.end(), static_cast<char32_t>(c)) == missing.end())
                missing.push_back(static_cast<char32_t>(c));
        }
    });
    return missing;
}

Text CodePointNames(std::u32string_view characters, std::size_t limit) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    Text out;
    for (std::size_t i = 0; i < characters.size(); ++i) {
        if (i == limit) return out + " ...";
        if (i) out.push_back(' ');
        out += "U+";
        const std::uint32_t c = characters[i];
        // At least four digits, as code points are written.
        int digits = 4;
        while (digits < 8 && (c >> (4 * digits)) != 0) ++digits;
        for (int d = digits - 1; d >= 0; --d) out.push_back(kHex[(c >> (4 * d)) & 0xF]);
    }
    return out;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::optional<char32_t> NextUtf8Character(std::string_view text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    char32_t code = 0;
    if (lead < 0x80) {
        ++at;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    }
    if (length == 0 || length > text.size() - at) {
        ++at;
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            ++at;
            return std::nullopt;
        }
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
        ++at;
        return std::nullopt;
    }
    at += length;
    return code;
}

std::string UrlEncode(std::string_view gbk) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const std::string utf8 = GbkToUtf8(gbk);
    std::string out;
    out.reserve(utf8.size() * 3);
    for (unsigned char c : utf8) {
        out.push_back('%');
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0x0F]);
    }
    return out;
}

}  // namespace lumigrab
