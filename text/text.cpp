#include "text/text.h"

#include <algorithm>
#include <climits>

namespace lumigrab {
namespace {

constexpr unsigned char kFullWidthLead = 0xA1;  // A1 A1 is the full-width space
constexpr unsigned char kFullWidthAsciiLead = 0xA3;

// Byte length of the character starting at `i`: a lead byte of 0x80 or above
// takes the byte after it along, unless the text ends first.
inline size_t CharLength(std::string_view s, size_t i) {
    return (static_cast<unsigned char>(s[i]) >= 0x80 && i + 1 < s.size()) ? 2 : 1;
}

inline unsigned char Fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

inline bool MatchesAt(std::string_view s, size_t i, std::string_view what, bool ignoreCase) {
    if (what.size() > s.size() - i) return false;
    if (!ignoreCase) return s.compare(i, what.size(), what) == 0;
    for (size_t k = 0; k < what.size(); ++k) {
        if (Fold(static_cast<unsigned char>(s[i + k])) != Fold(static_cast<unsigned char>(what[k])))
            return false;
    }
    return true;
}

inline bool IsSpaceAt(std::string_view s, size_t i, size_t len) {
    if (len == 1) return s[i] == ' ';
    return static_cast<unsigned char>(s[i]) == kFullWidthLead &&
           static_cast<unsigned char>(s[i + 1]) == kFullWidthLead;
}

// Finds `what` at a character start at or after the 0-based offset `from`;
// npos when absent.
size_t FindFrom(std::string_view s, std::string_view what, size_t from, bool ignoreCase) {
    for (size_t i = 0; i < s.size(); i += CharLength(s, i)) {
        if (i >= from && MatchesAt(s, i, what, ignoreCase)) return i;
    }
    return std::string_view::npos;
}

}  // namespace

int TextLength(std::string_view text) { return static_cast<int>(text.size()); }

int CompareText(std::string_view a, std::string_view b) {
    const int c = a.compare(b);  // char_traits<char>::compare compares as unsigned char
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int FindText(std::string_view text, std::string_view what, int start, bool ignoreCase) {
    if (start < 1) start = 1;
    if (static_cast<size_t>(start) > text.size()) return -1;
    if (what.empty()) return 1;
    const size_t at = FindFrom(text, what, static_cast<size_t>(start - 1), ignoreCase);
    return at == std::string_view::npos ? -1 : static_cast<int>(at + 1);
}

Text ReplaceText(std::string_view text, std::string_view what, std::string_view replacement,
                 int start, int count, bool caseSensitive) {
    if (start < 1) start = 1;
    if (text.empty() || what.empty() || static_cast<size_t>(start) > text.size() || count == 0)
        return Text(text);
    const size_t from = static_cast<size_t>(start - 1);
    Text out;
    out.reserve(text.size());
    int done = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (i >= from && (count < 0 || done < count) && MatchesAt(text, i, what, !caseSensitive)) {
            out.append(replacement);
            i += what.size();
            ++done;
            continue;
        }
        const size_t len = CharLength(text, i);
        out.append(text.substr(i, len));
        i += len;
    }
    return out;
}

TextList SplitText(std::string_view text, std::string_view separator, int maxPieces) {
    TextList pieces;
    if (text.empty()) return pieces;
    if (separator.empty()) {
        pieces.emplace_back(text);
        return pieces;
    }
    const auto full = [&] { return maxPieces > 0 && pieces.size() >= static_cast<size_t>(maxPieces); };
    size_t pieceStart = 0;
    size_t i = 0;
    while (i < text.size() && !full()) {
        if (MatchesAt(text, i, separator, false)) {
            pieces.emplace_back(text.substr(pieceStart, i - pieceStart));
            i += separator.size();
            pieceStart = i;
        } else {
            i += CharLength(text, i);
        }
    }
    if (!full() && pieceStart < text.size()) pieces.emplace_back(text.substr(pieceStart));
    return pieces;
}

Text TrimSpaces(std::string_view text) {
    size_t begin = 0;
    size_t end = 0;  // one past the last character that is not a space
    bool leading = true;
    for (size_t i = 0; i < text.size();) {
        const size_t len = CharLength(text, i);
        if (!IsSpaceAt(text, i, len)) {
            if (leading) {
                begin = i;
                leading = false;
            }
            end = i + len;
        }
        i += len;
    }
    if (leading) return {};
    return Text(text.substr(begin, end - begin));
}

Text RemoveSpaces(std::string_view text) {
    Text out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t len = CharLength(text, i);
        if (!IsSpaceAt(text, i, len)) out.append(text.substr(i, len));
        i += len;
    }
    return out;
}

Text LeftText(std::string_view text, long long n) {
    if (n <= 0) return {};
    return Text(text.substr(0, static_cast<size_t>(std::min<long long>(n, static_cast<long long>(text.size())))));
}

Text RightText(std::string_view text, long long n) {
    if (n <= 0) return {};
    const size_t take = static_cast<size_t>(std::min<long long>(n, static_cast<long long>(text.size())));
    return Text(text.substr(text.size() - take));
}

Text MidText(std::string_view text, long long start, long long n) {
    if (start < 1 || n <= 0 || start > static_cast<long long>(text.size())) return {};
    return Text(text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(std::min<long long>(n, static_cast<long long>(text.size()) - start + 1))));
}

// Numbers past the 32-bit range saturate at INT32_MAX / INT32_MIN rather than
// wrapping: a thread count typed as 99999999999 must not turn negative.
std::int32_t TextToInteger(std::string_view text) {
    Text ascii;
    ascii.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t len = CharLength(text, i);
        const auto lead = static_cast<unsigned char>(text[i]);
        if (len == 2 && lead == kFullWidthAsciiLead && static_cast<unsigned char>(text[i + 1]) >= 0xA1 &&
            static_cast<unsigned char>(text[i + 1]) <= 0xFE) {
            ascii.push_back(static_cast<char>(static_cast<unsigned char>(text[i + 1]) - 0x80));
        } else if (len == 2 && IsSpaceAt(text, i, len)) {
            ascii.push_back(' ');
        } else {
            ascii.append(text.substr(i, len));
        }
        i += len;
    }
    size_t i = 0;
    while (i < ascii.size() && (ascii[i] == ' ' || ascii[i] == '\t' || ascii[i] == '\r' ||
                                ascii[i] == '\n' || ascii[i] == '\v' || ascii[i] == '\f'))
        ++i;
    bool negative = false;
    if (i < ascii.size() && (ascii[i] == '+' || ascii[i] == '-')) negative = ascii[i++] == '-';
    long long value = 0;
    for (; i < ascii.size() && ascii[i] >= '0' && ascii[i] <= '9'; ++i) {
        value = value * 10 + (ascii[i] - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1) value = static_cast<long long>(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    return static_cast<std::int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

Text TextBetween(std::string_view text, std::string_view left, std::string_view right, int start,
                 bool ignoreCase) {
    static const Text kQuoteMarker = "#\xD2\xFD\xBA\xC5";  // "#引号" in GBK
    const Text l = ReplaceText(left, kQuoteMarker, "\"");
    const Text r = ReplaceText(right, kQuoteMarker, "\"");
    int p1 = FindText(text, l, start, ignoreCase);
    if (p1 != -1) p1 += TextLength(l);
    const int p2 = FindText(text, r, p1, ignoreCase);
    if (p1 == -1 || p2 == -1) return {};
    return MidText(text, p1, p2 - p1);
}

Text HeaderName(std::string_view line) {
    const int colon = FindText(line, ":");
    if (colon == -1) return {};
    return TrimSpaces(LeftText(line, colon - 1));
}

Text HeaderValue(std::string_view line) {
    const int colon = FindText(line, ":");
    if (colon == -1) return {};
    return TrimSpaces(RightText(line, TextLength(line) - colon));
}

char AsciiLower(char c) { return static_cast<char>(Fold(static_cast<unsigned char>(c))); }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return FindNoCase(text.substr(0, prefix.size()), prefix) == 0;
}

std::size_t FindNoCase(std::string_view text, std::string_view what, std::size_t from) {
    if (what.size() > text.size()) return std::string_view::npos;
    for (std::size_t i = from; i + what.size() <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < what.size() && AsciiLower(text[i + k]) == AsciiLower(what[k])) ++k;
        if (k == what.size()) return i;
    }
    return std::string_view::npos;
}

std::string LowerHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * bytes.size());
    for (std::uint8_t b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 0x0F];
    }
    return out;
}

}  // namespace lumigrab
