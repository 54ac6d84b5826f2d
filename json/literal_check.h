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
#include <string_view>

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

}  // namespace lumigrab
