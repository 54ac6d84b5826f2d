#include <gtest/gtest.h>

#include "text/encoding.h"
#include "text/text.h"

namespace lumigrab {
namespace {

// GBK bytes used below: 美 = C3 C0, 女 = C5 AE, full-width space = A1 A1,
// and 丂 = 81 40, whose trail byte is '@' (0x40).
const Text kFullSpace = "\xA1\xA1";
const Text kTrail40 = "\x81\x40";

struct FindCase {
    const char* name;
    Text text;
    Text what;
    int start;
    bool ignoreCase;
    int expected;
};

TEST(FindText, Table) {
    const FindCase cases[] = {
        {"CaseSensitiveMiss", "ab", "B", 1, false, -1},
        {"IgnoreCaseHit", "ab", "B", 1, true, 2},
        {"StartBelowOneCountsAsOne", "abc", "a", -7, false, 1},
        {"StartBeyondEnd", "abc", "a", 4, false, -1},
        {"StartSkipsEarlierMatch", "abab", "ab", 2, false, 3},
        {"NeverMatchesTrailByte", kTrail40, "@", 1, false, -1},
        {"MatchesAfterTwoByteChar", kTrail40 + "@", "@", 1, false, 3},
        {"StartOnTrailByteIsNotACharStart", kTrail40 + "@", "@", 2, false, 3},
        {"EmptyWhatInNonEmptyText", "abc", "", 2, false, 1},
        {"EmptyWhatInEmptyText", "", "", 1, false, -1},
        {"IgnoreCaseOnlyFoldsAscii", "\xC3\xC0x", "\xC3\xC0X", 1, true, 1},
        {"WhatLongerThanRest", "abc", "bcd", 1, false, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FindText(c.text, c.what, c.start, c.ignoreCase), c.expected) << c.name;
    }
}

TEST(ReplaceText, Rules) {
    EXPECT_EQ(ReplaceText("aaa", "a", "b"), "bbb");
    EXPECT_EQ(ReplaceText("aaa", "a", "b", 2), "abb");
    EXPECT_EQ(ReplaceText("aaa", "a", "b", 1, 2), "bba");
    EXPECT_EQ(ReplaceText("aaa", "a", "b", 1, 0), "aaa");
    EXPECT_EQ(ReplaceText("aaa", "a", "b", 9), "aaa");
    EXPECT_EQ(ReplaceText("aaa", "", "b"), "aaa");
    // Replaced text is never scanned again.
    EXPECT_EQ(ReplaceText("aa", "a", "aa"), "aaaa");
    EXPECT_EQ(ReplaceText("Set-Cookie set-COOKIE", "set-cookie", "Set-Cookie", 1, -1, false),
              "Set-Cookie Set-Cookie");
    EXPECT_EQ(ReplaceText("Set-Cookie set-cookie", "Set-Cookie", "X"), "X set-cookie");
    EXPECT_EQ(ReplaceText(kTrail40 + "@", "@", "#"), kTrail40 + "#");
    EXPECT_EQ(ReplaceText("abc", "b"), "ac");  // default replacement is empty
}

TEST(SplitText, PiecesAndSeparators) {
    EXPECT_EQ(SplitText("a;;b;", ";"), (TextList{"a", "", "b"}));
    EXPECT_EQ(SplitText("", ";"), TextList{});
    EXPECT_EQ(SplitText("abc", ""), TextList{"abc"});
    EXPECT_EQ(SplitText("a,b,c"), (TextList{"a", "b", "c"}));
    EXPECT_EQ(SplitText(";a", ";"), (TextList{"", "a"}));
    EXPECT_EQ(SplitText(";", ";"), TextList{""});
    EXPECT_EQ(SplitText("a\r\nb\r\n\r\nc", "\r\n"), (TextList{"a", "b", "", "c"}));
    EXPECT_EQ(SplitText("a;b;c;d", ";", 2), (TextList{"a", "b"}));
    // A separator byte inside a two-byte character does not split it.
    EXPECT_EQ(SplitText(kTrail40 + "@x", "@"), (TextList{kTrail40, "x"}));
}

TEST(Spaces, TrimAndRemove) {
    EXPECT_EQ(TrimSpaces(kFullSpace + " a b\t"), "a b\t");
    EXPECT_EQ(TrimSpaces("  " + kFullSpace), "");
    EXPECT_EQ(TrimSpaces(" x" + kFullSpace + kFullSpace), "x");
    // B0 A1 is one character, so the A1 A1 across its trail byte is no space.
    EXPECT_EQ(TrimSpaces("\xB0\xA1\xA1"), "\xB0\xA1\xA1");
    EXPECT_EQ(RemoveSpaces("a b" + kFullSpace + "c\t"), "abc\t");
    EXPECT_EQ(RemoveSpaces("\xB0\xA1\xA1\xA1"), "\xB0\xA1");
}

TEST(Cutting, LeftRightMid) {
    EXPECT_EQ(LeftText("abc", 2), "ab");
    EXPECT_EQ(LeftText("abc", 9), "abc");
    EXPECT_EQ(LeftText("abc", 0), "");
    EXPECT_EQ(LeftText("abc", -2), "");
    EXPECT_EQ(RightText("abc", 2), "bc");
    EXPECT_EQ(RightText("abc", 9), "abc");
    EXPECT_EQ(RightText("abc", -1), "");
    EXPECT_EQ(MidText("abcdef", 2, 3), "bcd");
    EXPECT_EQ(MidText("abcdef", 5, 9), "ef");
    EXPECT_EQ(MidText("abcdef", 0, 2), "");
    EXPECT_EQ(MidText("abcdef", 7, 2), "");
    EXPECT_EQ(MidText("abcdef", 2, 0), "");
}

TEST(CompareAndConcat, Basics) {
    EXPECT_EQ(CompareText("a", "a"), 0);
    EXPECT_EQ(CompareText("", ""), 0);
    EXPECT_EQ(CompareText("a", "b"), -1);
    EXPECT_EQ(CompareText("b", "a"), 1);
    EXPECT_EQ(CompareText("\xC3", "a"), 1);  // bytes compare unsigned
    EXPECT_EQ(CompareText("ab", "a"), 1);
    EXPECT_EQ(ConcatText(Text("a"), "", std::string_view("bc")), "abc");
    EXPECT_EQ(TextLength("\xC3\xC0x"), 3);
}

struct IntegerCase {
    const char* name;
    Text text;
    std::int32_t expected;
};

TEST(TextToInteger, Table) {
    const IntegerCase cases[] = {
        {"Plain", "42", 42},
        {"LeadingNumberOnly", "12abc", 12},
        {"NoNumber", "abc", 0},
        {"Empty", "", 0},
        {"LeadingBlanks", "  \t7", 7},
        {"Negative", "-3", -3},
        {"Plus", "+8", 8},
        {"FullWidthDigits", "\xA3\xB1\xA3\xB2", 12},  // １２
        {"FullWidthMinus", "\xA3\xAD\xA3\xB5", -5},   // －５
        {"FullWidthSpaceFirst", kFullSpace + "9", 9},
        {"SignWithoutDigits", "-", 0},
        {"SaturatesHigh", "99999999999", INT32_MAX},
        {"SaturatesLow", "-99999999999", INT32_MIN},
        {"ExactMin", "-2147483648", INT32_MIN},
        {"ExactMax", "2147483647", INT32_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(TextToInteger(c.text), c.expected) << c.name;
}

TEST(TextBetween, Markers) {
    EXPECT_EQ(TextBetween("ab[x]cd", "[", "]"), "x");
    EXPECT_EQ(TextBetween("ab[x]cd", "[", ")"), "");
    EXPECT_EQ(TextBetween("]a[", "[", "]"), "");
    EXPECT_EQ(TextBetween("k=\"v\"", Gbk("k=#引号"), Gbk("#引号")), "v");
    EXPECT_EQ(TextBetween("[]", "[", "]"), "");
    EXPECT_EQ(TextBetween("abc]d", "", "]"), "abc");
    EXPECT_EQ(TextBetween("a[bc]", "[", ""), "");
    EXPECT_EQ(TextBetween("a[b]c", "[", "]", 3), "");
    EXPECT_EQ(TextBetween("a[B]c[d]", "[", "]", 4), "d");
    EXPECT_EQ(TextBetween("xKEY:1;", "key:", ";", 1, true), "1");
    EXPECT_EQ(TextBetween("x\"isNeedAsyncRequest\":0,\"data\":[1]});", "\"isNeedAsyncRequest\":0,\"data\":", "});"),
              "[1]");
}

TEST(HeaderLine, NameAndValue) {
    EXPECT_EQ(HeaderName(" Host : x:y "), "Host");
    EXPECT_EQ(HeaderValue(" Host : x:y "), "x:y");
    EXPECT_EQ(HeaderName("no colon"), "");
    EXPECT_EQ(HeaderValue("no colon"), "");
    EXPECT_EQ(HeaderName(":v"), "");
    EXPECT_EQ(HeaderValue("k:"), "");
}

}  // namespace
}  // namespace lumigrab
