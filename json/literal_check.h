#pragma once
// Decides whether a text is nothing but a JavaScript data literal, so that it
// can be handed to the script engine without running anything a page author
// wrote. Accepted: strings in double or single quotes with JavaScript escapes,
// decimal numbers with an optional leading minus (exponents of at most six
// digits: the engine refuses longer ones), true/false/null/undefined,
// arrays (holes and a trailing comma allowed) and objects whose keys are
// quoted strings, plain ASCII identifiers or numbers (one trailing comma
// allowed). Everything else - calls, operators, other identifiers, comments,
// parentheses - is refused.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumigrab {

enum class LiteralEncoding {
    Gbk,   // bytes 0x81-0xFE start a two-byte character
    Utf8,  // bytes of 0x80 or above never stand for ASCII, one at a time is enough
};

enum class LiteralKind { Invalid, Empty, Primitive, String, Array, Object };

struct LiteralVerdict {
    LiteralKind kind = LiteralKind::Invalid;  // of the outermost value
    std::size_t errorOffset = 0;              // byte where checking stopped, when Invalid
    bool ok() const { return kind != LiteralKind::Invalid; }
};

// Real result pages nest three or four levels; a few hundred is generous and
// keeps the engine's compiler well inside its own recursion limit.
inline constexpr int kMaxLiteralDepth = 256;

LiteralVerdict CheckLiteral(std::string_view text,
                            LiteralEncoding encoding = LiteralEncoding::Gbk,
                            int maxDepth = kMaxLiteralDepth);

// CheckLiteral that also says where the elements of an outermost array lie:
// one piece of `text` per element, in order, without the blanks around it;
// an empty piece for a hole ("[1,,2]" has three elements, the middle one a
// hole; a trailing comma adds none). Each piece is a literal of its own, so
// an array too large to take in at once can be read a few at a time.
// At most maxElements + 1 pieces are kept: more than maxElements means the
// array has more than that. `elements` is left empty for any other verdict.
LiteralVerdict SplitArrayLiteral(std::string_view text, std::vector<std::string_view>& elements,
                                 std::size_t maxElements,
                                 LiteralEncoding encoding = LiteralEncoding::Gbk,
                                 int maxDepth = kMaxLiteralDepth);

// A checked literal, in UTF-8, as strict JSON, when only the \' escapes
// that result pages write in titles stand in the way (inside double quotes
// they are the quote alone); nullopt when a string is in single quotes.
// JSON.parse of that text gives the value the literal is, without compiling
// it: the one character the two read differently, a raw line separator
// (U+2028, U+2029) in a string, has no GBK form, so no checked page text
// holds one. Anything else JSON refuses, its decoder finds.
std::optional<std::string> LiteralAsStrictJson(std::string_view checkedLiteral);

}  // namespace lumigrab
