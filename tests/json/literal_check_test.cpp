#include "json/literal_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumigrab {
namespace {

struct Case {
    const char* name;
    std::string text;
    LiteralKind kind;  // Invalid for a refusal
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

class LiteralCheckTable : public ::testing::TestWithParam<Case> {};

TEST_P(LiteralCheckTable, Gbk) {
    const Case& c = GetParam();
    const LiteralVerdict v = CheckLiteral(c.text, LiteralEncoding::Gbk);
    EXPECT_EQ(v.kind, c.kind) << c.text;
}

const Case kCases[] = {
    // What result pages carry.
    {"EmptyText", "", LiteralKind::Empty},
    {"OnlyBlanks", " \t\r\n", LiteralKind::Empty},
    {"PictureArray",
     R"([{"objURL":"http:\/\/a.b\/c.jpg","width":640,"height":480,"type":"jpg"},{}])",
     LiteralKind::Array},
    {"SingleQuotes", "['it\\'s', 'a\"b']", LiteralKind::Array},
    {"EscapesOfEveryKind", R"(["\x41\u4e2d\u{1F600}\/\\\b\f\n\r\t\v\0\a"])", LiteralKind::Array},
    {"LineContinuation", "['a\\\r\nb', 'c\\\nd']", LiteralKind::Array},
    {"Numbers", "[0, -1, 1.5, -.5, 5., 1e3, 2E-7, -3.25e+10, 007]", LiteralKind::Array},
    {"Words", "[true, false, null, undefined]", LiteralKind::Array},
    {"BareAndNumericKeys", "{a:1, $b_2:'x', 'c':[], \"d\":{}, 3:4, if:5}", LiteralKind::Object},
    {"TrailingCommas", "{a:[1,2,],}", LiteralKind::Object},
    {"ArrayHoles", "[,1,,2,]", LiteralKind::Array},
    {"NumberAtTop", "-12.5", LiteralKind::Primitive},
    {"StringAtTop", "'x'", LiteralKind::String},
    {"GbkInsideString", "[\"\xC3\xC0\xC5\xAE\"]", LiteralKind::Array},
    // A GBK character whose trail byte is a backslash or a bracket is one
    // character, not an escape or a closing bracket.
    {"GbkTrailBackslash", "[\"\x81\x5C\"]", LiteralKind::Array},
    {"GbkTrailBracket", "[\"\x81\x5D\"]", LiteralKind::Array},
    // 0x80 (the euro sign) and 0xFF are single bytes in code page 936.
    {"EuroSignIsOneByte", "[\"\x80\"]", LiteralKind::Array},
    {"ByteFFDoesNotHideABackslash", "[\"\xFF\x5C\"]", LiteralKind::Invalid},
    {"FullWidthSpaceBetweenTokens", "[1,\xA1\xA1" "2]", LiteralKind::Array},

    // Anything that would run.
    {"Call", "[1,2].map(function(){while(1){}})", LiteralKind::Invalid},
    {"Assignment", "this.x=1", LiteralKind::Invalid},
    {"FunctionValue", "[function(){}]", LiteralKind::Invalid},
    {"Getter", "{get a(){return 1}}", LiteralKind::Invalid},
    {"OtherIdentifier", "[alert]", LiteralKind::Invalid},
    {"IdentifierPrefixedByWord", "[trueish]", LiteralKind::Invalid},
    {"Operator", "[1+1]", LiteralKind::Invalid},
    {"Parentheses", "([1])", LiteralKind::Invalid},
    {"CommaExpression", "1,alert(1)", LiteralKind::Invalid},
    {"SecondValue", "[1] [2]", LiteralKind::Invalid},
    {"MemberAfterArray", "[1].length", LiteralKind::Invalid},
    {"IndexAfterArray", "[1][0]", LiteralKind::Invalid},
    {"MemberAfterNumber", "1 .toString()", LiteralKind::Invalid},
    {"HexNumber", "[0x10]", LiteralKind::Invalid},
    {"SpaceAfterMinus", "[- 1]", LiteralKind::Invalid},
    {"UnaryPlus", "[+1]", LiteralKind::Invalid},
    {"LineComment", "[1]//x", LiteralKind::Invalid},
    {"BlockComment", "[1/*x*/]", LiteralKind::Invalid},
    {"Regex", "[/a/]", LiteralKind::Invalid},
    {"TemplateString", "[`a`]", LiteralKind::Invalid},
    {"NewExpression", "new Array()", LiteralKind::Invalid},
    {"NonAsciiKey", "{\xC3\xC0:1}", LiteralKind::Invalid},
    {"ZeroByte", std::string("[1]\0alert(1)", 12), LiteralKind::Invalid},
    {"ZeroByteInString", std::string("['a\0b']", 7), LiteralKind::Invalid},

    // Broken literals.
    {"TruncatedArray", "[{\"a\":1}", LiteralKind::Invalid},
    {"UnterminatedString", "[\"abc]", LiteralKind::Invalid},
    {"RawLineBreakInString", "[\"a\nb\"]", LiteralKind::Invalid},
    {"StringEndsInsideGbkCharacter", "[\"\xC3\"]", LiteralKind::Invalid},
    {"GbkLeadAtEnd", "[\"\xC3", LiteralKind::Invalid},
    {"BadHexEscape", "['\\x4']", LiteralKind::Invalid},
    {"BadUnicodeEscape", "['\\u12G4']", LiteralKind::Invalid},
    {"EmptyBraceEscape", "['\\u{}']", LiteralKind::Invalid},
    {"MissingColon", "{a 1}", LiteralKind::Invalid},
    {"DoubleTrailingCommaInObject", "{a:1,,}", LiteralKind::Invalid},
    {"LoneCommaInObject", "{,}", LiteralKind::Invalid},
    {"MissingComma", "[1 2]", LiteralKind::Invalid},
    {"ExponentWithoutDigits", "[1e]", LiteralKind::Invalid},
    {"ExponentBeyondEngine", "[1e99999999]", LiteralKind::Invalid},
    {"ExponentKeyBeyondEngine", "{1e-1234567:1}", LiteralKind::Invalid},
    {"ExponentAtLimit", "[1e999999, 2E-999999]", LiteralKind::Array},
    {"ExponentLeadingZeros", "[1e0000000000000000005]", LiteralKind::Array},
    {"OctalIntegers", "[017, 00, 08, 09.5, 0.5, 0e1, -010]", LiteralKind::Array},
    {"FractionAfterOctal", "[01.5]", LiteralKind::Invalid},
    {"ExponentAfterOctal", "[07e1]", LiteralKind::Invalid},
    {"FractionAfterOctalKey", "{00.5:1}", LiteralKind::Invalid},
    {"CodePointAtLimit", "['\\u{10FFFF}']", LiteralKind::Array},
    {"CodePointBeyondLimit", "['\\u{110000}']", LiteralKind::Invalid},
    {"LoneMinus", "[-]", LiteralKind::Invalid},
    {"StrayByteOutsideString", "[1,\xC3\xC0]", LiteralKind::Invalid},
};

INSTANTIATE_TEST_SUITE_P(Cases, LiteralCheckTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

std::string Nested(int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
}

TEST(LiteralCheck, DepthAtLimit) {
    EXPECT_TRUE(CheckLiteral(Nested(kMaxLiteralDepth)).ok());
}

TEST(LiteralCheck, BeyondDepthLimit) {
    EXPECT_FALSE(CheckLiteral(Nested(kMaxLiteralDepth + 1)).ok());
    EXPECT_FALSE(CheckLiteral(Nested(100000)).ok());  // no stack overflow either
    EXPECT_FALSE(CheckLiteral("{a:{b:[1]}}", LiteralEncoding::Gbk, 2).ok());
    EXPECT_TRUE(CheckLiteral("{a:{b:1}}", LiteralEncoding::Gbk, 2).ok());
}

TEST(LiteralCheck, ErrorOffsetPointsAtTheOffendingByte) {
    const LiteralVerdict v = CheckLiteral("[1, 2, alert(3)]");
    EXPECT_FALSE(v.ok());
    EXPECT_EQ(v.errorOffset, 12u);  // just after "alert", where "(" stands
}

TEST(LiteralCheck, Utf8ReadsMultiByteCharactersOneByteAtATime) {
    // In UTF-8 no byte of a multi-byte character can close a string, and the
    // GBK pairing rule must not apply: E4 B8 AD is one character of 3 bytes.
    EXPECT_TRUE(CheckLiteral("[\"\xE4\xB8\xAD\"]", LiteralEncoding::Utf8).ok());
    EXPECT_FALSE(CheckLiteral("[\"\xE4\xB8\xAD\"]", LiteralEncoding::Gbk).ok());
    EXPECT_TRUE(CheckLiteral("[1,\xE3\x80\x80" "2]", LiteralEncoding::Utf8).ok());
    EXPECT_TRUE(CheckLiteral("\xEF\xBB\xBF[1]", LiteralEncoding::Utf8).ok());
    EXPECT_FALSE(CheckLiteral("[1,\xE4\xB8\xAD]", LiteralEncoding::Utf8).ok());
}

struct SplitCase {
    const char* name;
    std::string text;
    std::vector<std::string> elements;  // "" for a hole
};

std::ostream& operator<<(std::ostream& os, const SplitCase& c) { return os << c.name; }

class SplitArrayTable : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitArrayTable, OnePiecePerElementOfTheOutermostArray) {
    const SplitCase& c = GetParam();
    std::vector<std::string_view> pieces{"left over"};
    const LiteralVerdict v = SplitArrayLiteral(c.text, pieces, 100);
    EXPECT_EQ(v.kind, CheckLiteral(c.text).kind);
    EXPECT_EQ(std::vector<std::string>(pieces.begin(), pieces.end()), c.elements);
}

const SplitCase kSplitCases[] = {
    {"Empty", "[]", {}},
    {"NestedStayWhole", R"( [ {"a":[1,{"b":"]"}]} , [2,3],"x,y" ] )",
     {R"({"a":[1,{"b":"]"}]})", "[2,3]", R"("x,y")"}},
    {"HolesAndTrailingComma", "[,1,,2,]", {"", "1", "", "2"}},
    {"OnlyAHole", "[,]", {""}},
    {"GbkTrailBytesAreNoDelimiters", "[\"\\x81\x81\x5D\",\"\x81\x5B\"]",
     {"\"\\x81\x81\x5D\"", "\"\x81\x5B\""}},
    // Only an array is split.
    {"Object", "{a:[1,2]}", {}},
    {"Broken", "[1,2", {}},
    {"Script", "[1,2].map(f)", {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, SplitArrayTable, ::testing::ValuesIn(kSplitCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SplitArrayLiteral, KeepsOneMorePieceThanTheBound) {
    std::vector<std::string_view> pieces;
    EXPECT_EQ(SplitArrayLiteral("[1,,3,4]", pieces, 2).kind, LiteralKind::Array);
    EXPECT_EQ(pieces, (std::vector<std::string_view>{"1", "", "3"}));
    EXPECT_EQ(SplitArrayLiteral("[1,,3,4,", pieces, 2).kind, LiteralKind::Invalid);
    EXPECT_TRUE(pieces.empty());
}

// A literal as JSON: its \' escapes undone inside double quotes only, and
// none at all once a string is in single quotes. "-" marks no JSON form.
TEST(LiteralAsStrictJson, UndoesOnlyTheEscapedQuoteInsideDoubleQuotes) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {R"({"t":"Lumi\'s"})", R"({"t":"Lumi's"})"},
        {R"(["it's",1])", R"(["it's",1])"},
        {R"(["a\\'b"])", R"(["a\\'b"])"},    // an escaped backslash, then a plain quote
        {R"(["\"\'",'x'])", "-"},
        {R"(['x'])", "-"},
        {R"({"a":"\u0027\n"})", R"({"a":"\u0027\n"})"},
        {R"({"a":"\'"})", R"({"a":"'"})"},
    };
    for (const auto& [literal, json] : cases) {
        const std::optional<std::string> got = LiteralAsStrictJson(literal);
        EXPECT_EQ(got.value_or("-"), json) << literal;
    }
}

}  // namespace
}  // namespace lumigrab
