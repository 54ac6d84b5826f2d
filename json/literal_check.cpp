#include "json/literal_check.h"

#include <cstdint>

namespace lumigrab {
namespace {

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsHex(unsigned char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
std::uint32_t HexValue(unsigned char c) {
    if (IsDigit(c)) return c - '0';
    return (c | 0x20) - 'a' + 10;
}
bool IsIdentifierStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
}
bool IsIdentifierPart(unsigned char c) { return IsIdentifierStart(c) || IsDigit(c); }

constexpr std::size_t kMaxExponentDigits = 6;

class Checker {
public:
    Checker(std::string_view text, LiteralEncoding encoding, int maxDepth,
            std::vector<std::string_view>* topElements = nullptr, std::size_t maxKept = 0)
        : text_(text), encoding_(encoding), maxDepth_(maxDepth), topElements_(topElements),
          maxKept_(maxKept) {}

    LiteralVerdict Run() {
        SkipSpace();
        if (AtEnd()) return Verdict(LiteralKind::Empty);
        const LiteralKind kind = Value(0);
        if (kind == LiteralKind::Invalid) return Verdict(kind);
        SkipSpace();
        if (!AtEnd()) return Verdict(LiteralKind::Invalid);
        return Verdict(kind);
    }

private:
    LiteralVerdict Verdict(LiteralKind kind) const {
        LiteralVerdict v;
        v.kind = kind;
        if (kind == LiteralKind::Invalid) v.errorOffset = pos_;
        return v;
    }

    bool AtEnd() const { return pos_ >= text_.size(); }
    unsigned char Peek(std::size_t ahead = 0) const {
        return pos_ + ahead < text_.size() ? static_cast<unsigned char>(text_[pos_ + ahead]) : 0;
    }
    bool Has(std::size_t n) const { return text_.size() - pos_ >= n; }

    // Blanks between tokens: the ASCII ones plus the wide spaces a converted
    // page may carry (the engine counts them as white space too).
    void SkipSpace() {
        while (!AtEnd()) {
            const unsigned char c = Peek();
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
                ++pos_;
            } else if (encoding_ == LiteralEncoding::Gbk && c == 0xA1 && Peek(1) == 0xA1) {
                pos_ += 2;  // full-width space
            } else if (encoding_ == LiteralEncoding::Utf8 && c == 0xC2 && Peek(1) == 0xA0) {
                pos_ += 2;  // no-break space
            } else if (encoding_ == LiteralEncoding::Utf8 && c == 0xE3 && Peek(1) == 0x80 &&
                       Peek(2) == 0x80) {
                pos_ += 3;  // ideographic space
            } else if (encoding_ == LiteralEncoding::Utf8 && c == 0xEF && Peek(1) == 0xBB &&
                       Peek(2) == 0xBF) {
                pos_ += 3;  // byte-order mark
            } else {
                return;
            }
        }
    }

    LiteralKind Value(int depth) {
        const unsigned char c = Peek();
        if (c == '[') return Array(depth + 1) ? LiteralKind::Array : LiteralKind::Invalid;
        if (c == '{') return Object(depth + 1) ? LiteralKind::Object : LiteralKind::Invalid;
        if (c == '"' || c == '\'') return String() ? LiteralKind::String : LiteralKind::Invalid;
        if (c == '-' || c == '.' || IsDigit(c))
            return Number() ? LiteralKind::Primitive : LiteralKind::Invalid;
        if (IsIdentifierStart(c)) {
            const std::string_view word = Identifier();
            if (word == "true" || word == "false" || word == "null" || word == "undefined")
                return LiteralKind::Primitive;
        }
        return LiteralKind::Invalid;
    }

    std::string_view Identifier() {
        const std::size_t start = pos_;
        while (!AtEnd() && IsIdentifierPart(Peek())) ++pos_;
        return text_.substr(start, pos_ - start);
    }

    // One more character inside a string or after a backslash: a whole
    // two-byte character in GBK (its trail byte may look like an ASCII byte
    // such as a backslash, and must not be read as one). Code page 936 has
    // two single bytes above 0x7F, 0x80 (the euro sign) and 0xFF, and the
    // converter treats them so: a byte after them is a character of its own.
    bool StringCharacter() {
        const unsigned char c = Peek();
        if (c == 0) return false;
        if (c < 0x81 || c == 0xFF || encoding_ == LiteralEncoding::Utf8) {
            ++pos_;
            return true;
        }
        const unsigned char trail = Peek(1);
        if (!Has(2) || trail < 0x40 || trail == 0x7F || trail == 0xFF) return false;
        pos_ += 2;
        return true;
    }

    bool HexDigits(std::size_t n) {
        if (!Has(n)) return false;
        for (std::size_t i = 0; i < n; ++i)
            if (!IsHex(Peek(i))) return false;
        pos_ += n;
        return true;
    }

    bool Escape() {
        const unsigned char e = Peek();
        if (e == 'x') {
            ++pos_;
            return HexDigits(2);
        }
        if (e == 'u') {
            ++pos_;
            if (Peek() != '{') return HexDigits(4);
            ++pos_;
            std::size_t digits = 0;
            std::uint32_t codePoint = 0;
            while (IsHex(Peek()) && digits < 6) {
                codePoint = codePoint * 16 + HexValue(Peek());
                ++pos_;
                ++digits;
            }
            // Past the last code point the escape is a syntax error, which
            // would cost the whole text.
            if (digits == 0 || Peek() != '}' || codePoint > 0x10FFFF) return false;
            ++pos_;
            return true;
        }
        if (e == '\r') {  // line continuation, CR LF counts as one break
            ++pos_;
            if (Peek() == '\n') ++pos_;
            return true;
        }
        return StringCharacter();
    }

    bool String() {
        const unsigned char quote = Peek();
        ++pos_;
        while (!AtEnd()) {
            const unsigned char c = Peek();
            if (c == quote) {
                ++pos_;
                return true;
            }
            if (c == '\n' || c == '\r') return false;
            if (c == '\\') {
                ++pos_;
                if (AtEnd() || !Escape()) return false;
                continue;
            }
            if (!StringCharacter()) return false;
        }
        return false;
    }

    bool Digits() {
        const std::size_t start = pos_;
        while (IsDigit(Peek())) ++pos_;
        return pos_ > start;
    }

    bool Number() {
        if (Peek() == '-') ++pos_;
        if (Peek() == '.') {
            ++pos_;
            if (!Digits()) return false;
        } else {
            const std::size_t integerAt = pos_;
            if (!Digits()) return false;
            // "017" is an old-style octal integer: a fraction or an exponent
            // after it is a syntax error ("08" and "09.5" are decimal).
            const std::string_view integer = text_.substr(integerAt, pos_ - integerAt);
            if (integer.size() > 1 && integer[0] == '0' &&
                integer.find_first_not_of("01234567") == std::string_view::npos)
                return !IsIdentifierPart(Peek()) && Peek() != '.';
            if (Peek() == '.') {
                ++pos_;
                Digits();
            }
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++pos_;
            if (Peek() == '+' || Peek() == '-') ++pos_;
            while (Peek() == '0' && IsDigit(Peek(1))) ++pos_;
            const std::size_t exponentAt = pos_;
            if (!Digits()) return false;
            // The engine's compiler rejects an exponent in the tens of
            // millions as a syntax error, and with it the whole text; no
            // double needs more than three digits there anyway.
            if (pos_ - exponentAt > kMaxExponentDigits) return false;
        }
        // "1a", "0x10", "1.5.2": not a plain number.
        return !IsIdentifierPart(Peek()) && Peek() != '.';
    }

    bool Array(int depth) {
        if (depth > maxDepth_) return false;
        // Only the outermost array (depth 1) lists its elements.
        std::vector<std::string_view>* elements = depth == 1 ? topElements_ : nullptr;
        const auto keep = [&](std::string_view piece) {
            if (elements && elements->size() < maxKept_) elements->push_back(piece);
        };
        ++pos_;
        bool expectingValue = true;
        for (;;) {
            SkipSpace();
            if (AtEnd()) return false;
            const unsigned char c = Peek();
            if (c == ']') {
                ++pos_;
                return true;
            }
            if (c == ',') {  // after a value, or a hole
                if (expectingValue) keep(text_.substr(pos_, 0));
                ++pos_;
                expectingValue = true;
                continue;
            }
            if (!expectingValue) return false;
            const std::size_t start = pos_;
            if (Value(depth) == LiteralKind::Invalid) return false;
            keep(text_.substr(start, pos_ - start));
            expectingValue = false;
        }
    }

    bool Key() {
        const unsigned char c = Peek();
        if (c == '"' || c == '\'') return String();
        if (IsDigit(c) || c == '.') return Number();
        if (IsIdentifierStart(c)) {
            Identifier();
            return true;
        }
        return false;
    }

    bool Object(int depth) {
        if (depth > maxDepth_) return false;
        ++pos_;
        SkipSpace();
        if (Peek() == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            if (!Key()) return false;
            SkipSpace();
            if (Peek() != ':') return false;
            ++pos_;
            SkipSpace();
            if (AtEnd() || Value(depth) == LiteralKind::Invalid) return false;
            SkipSpace();
            if (Peek() == '}') {
                ++pos_;
                return true;
            }
            if (Peek() != ',') return false;
            ++pos_;
            SkipSpace();
            if (Peek() == '}') {  // one trailing comma
                ++pos_;
                return true;
            }
        }
    }

    std::string_view text_;
    LiteralEncoding encoding_;
    int maxDepth_;
    std::vector<std::string_view>* topElements_;
    std::size_t maxKept_;
    std::size_t pos_ = 0;
};

}  // namespace

LiteralVerdict CheckLiteral(std::string_view text, LiteralEncoding encoding, int maxDepth) {
    return Checker(text, encoding, maxDepth).Run();
}

LiteralVerdict SplitArrayLiteral(std::string_view text, std::vector<std::string_view>& elements,
                                 std::size_t maxElements, LiteralEncoding encoding,
                                 int maxDepth) {
    elements.clear();
    const std::size_t kept = maxElements < SIZE_MAX ? maxElements + 1 : maxElements;
    const LiteralVerdict verdict = Checker(text, encoding, maxDepth, &elements, kept).Run();
    if (verdict.kind != LiteralKind::Array) elements.clear();
    return verdict;
}

std::optional<std::string> LiteralAsStrictJson(std::string_view literal) {
    std::string json;
    json.reserve(literal.size());
    bool inString = false;
    for (std::size_t i = 0; i < literal.size(); ++i) {
        const char c = literal[i];
        if (!inString) {
            if (c == '\'') return std::nullopt;
            inString = c == '"';
        } else if (c == '\\' && i + 1 < literal.size()) {
            if (literal[i + 1] != '\'') json += c;
            json += literal[++i];
            continue;
        } else if (c == '"') {
            inString = false;
        }
        json += c;
    }
    return json;
}

}  // namespace lumigrab
