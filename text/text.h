#pragma once
// System text: a byte string in code page 936 (GBK). Lengths and positions
// count bytes; positions are 1-based and a failed search gives -1. A byte of
// 0x80 or above starts a two-byte character whose second byte may be any
// value, so searches step character by character, never landing on a trail
// byte. Text values hold no zero byte: callers that read bytes off the wire cut
// at the first zero where it matters.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumigrab {

using Text = std::string;
using TextList = std::vector<Text>;
using Bytes = std::vector<std::uint8_t>;

int TextLength(std::string_view text);
// -1, 0 or 1, bytes compared as unsigned values.
int CompareText(std::string_view a, std::string_view b);

template <typename... Parts>
Text ConcatText(const Parts&... parts) {
    Text out;
    (out.append(std::string_view(parts)), ...);
    return out;
}

int FindText(std::string_view text, std::string_view what, int start = 1,
             bool ignoreCase = false);

// Byte-wise helpers for protocol text (header names, host names, markup),
// where only ASCII letters fold and positions count from 0.
char AsciiLower(char c);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// Position of `what` at or after `from`, or npos.
std::size_t FindNoCase(std::string_view text, std::string_view what, std::size_t from = 0);
// Two lower-case hex digits a byte, as digests are written.
std::string LowerHex(std::span<const std::uint8_t> bytes);
// count < 0 means all occurrences.
Text ReplaceText(std::string_view text, std::string_view what,
                 std::string_view replacement = {}, int start = 1, int count = -1,
                 bool caseSensitive = true);
// maxPieces < 0 means no limit.
TextList SplitText(std::string_view text, std::string_view separator = ",",
                   int maxPieces = -1);
Text TrimSpaces(std::string_view text);
Text RemoveSpaces(std::string_view text);
Text LeftText(std::string_view text, long long n);
Text RightText(std::string_view text, long long n);
Text MidText(std::string_view text, long long start, long long n);
std::int32_t TextToInteger(std::string_view text);
Text TextBetween(std::string_view text, std::string_view left, std::string_view right,
                 int start = 1, bool ignoreCase = false);
Text HeaderName(std::string_view line);
Text HeaderValue(std::string_view line);

}  // namespace lumigrab
