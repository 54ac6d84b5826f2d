#include "harvest/title.h"

#include <optional>

#include "harvest/json_results.h"
#include "text/encoding.h"

namespace lumigrab {
namespace {

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsWhiteSpace(char32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Controls, and the marks and overrides that reorder the text around them.
bool IsDropped(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// The character a reference at `at` (on its "&") stands for, `at` moved past
// its ";"; nullopt, `at` unmoved, when it is none we know. A numeric one
// that names no character stands for U+FFFD.
std::optional<char32_t> Reference(std::string_view text, std::size_t& at) {
    const std::size_t end = text.find(';', at);
    // Longer than any reference decoded here: "&#x10FFFF;" is the longest.
    if (end == std::string_view::npos || end - at > 9) return std::nullopt;
    const std::string_view name = text.substr(at + 1, end - at - 1);
    std::optional<char32_t> c;
    if (name.size() > 1 && name[0] == '#') {
        const bool hex = name[1] == 'x' || name[1] == 'X';
        const std::string_view digits = name.substr(hex ? 2 : 1);
        if (digits.empty()) return std::nullopt;
        std::uint32_t value = 0;
        for (char d : digits) {
            int digit = -1;
            if (d >= '0' && d <= '9') digit = d - '0';
            else if (hex && d >= 'a' && d <= 'f') digit = d - 'a' + 10;
            else if (hex && d >= 'A' && d <= 'F') digit = d - 'A' + 10;
            if (digit < 0) return std::nullopt;
            value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
        }
        const bool character = value != 0 && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
        c = character ? static_cast<char32_t>(value) : U'\uFFFD';
    } else {
        static constexpr struct {
            std::string_view name;
            char32_t c;
        } kNamed[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xA0}};
        for (const auto& entry : kNamed)
            if (entry.name == name) c = entry.c;
        if (!c) return std::nullopt;
    }
    at = end + 1;
    return c;
}

}  // namespace

std::string PlainTitle(std::string_view html) {
    std::string out;
    bool space = false;  // white space seen since the last character kept
    for (std::size_t at = 0; at < html.size();) {
        char32_t c = 0;
        if (html[at] == '<' && at + 1 < html.size() &&
            (IsAsciiLetter(html[at + 1]) || html[at + 1] == '/' || html[at + 1] == '!' || html[at + 1] == '?')) {
            const std::size_t close = html.find('>', at);
            if (close != std::string_view::npos) {
                at = close + 1;
                continue;
            }
        }
        if (html[at] == '&') {
            const std::optional<char32_t> referred = Reference(html, at);
            if (referred) c = *referred;
        }
        if (c == 0) c = NextUtf8Character(html, at).value_or(U'\uFFFD');
        if (IsWhiteSpace(c)) {
            space = !out.empty();
            continue;
        }
        if (IsDropped(c)) continue;
        std::string piece = space ? " " : "";
        AppendUtf8(piece, c);
        if (out.size() + piece.size() > kMaxTitleBytes) break;
        out += piece;
        space = false;
    }
    return out;
}

std::string SourcePageAddress(std::string_view fromUrl) {
    if (fromUrl.find(':') != std::string_view::npos) return std::string(fromUrl);
    return DecodeCipheredAddress(fromUrl);
}

}  // namespace lumigrab
