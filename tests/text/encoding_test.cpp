#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "text/encoding.h"

namespace lumigrab {
namespace {

TEST(UrlEncode, EveryByteIsEncoded) {
    EXPECT_EQ(UrlEncode(""), "");
    EXPECT_EQ(UrlEncode("ab 1"), "%61%62%20%31");
    EXPECT_EQ(UrlEncode("a-b.c/d"), "%61%2D%62%2E%63%2F%64");
    EXPECT_EQ(UrlEncode("\xC3\xC0\xC5\xAE"), "%E7%BE%8E%E5%A5%B3");  // 美女
    EXPECT_EQ(UrlEncode("\xC3\xA8"), "%E7%8C%AB");                  // 猫
    EXPECT_EQ(UrlEncode("+~"), "%2B%7E");
    EXPECT_EQ(UrlEncode("\x0A"), "%0A");
}

TEST(CodePage, RoundTripsAndReplacements) {
    EXPECT_EQ(Utf8ToGbk("\xE7\x8C\xAB"), "\xC3\xA8");
    EXPECT_EQ(GbkToUtf8("\xC3\xA8"), "\xE7\x8C\xAB");
    EXPECT_EQ(Gbk("请先输入图片名称"), Utf8ToGbk("请先输入图片名称"));
    EXPECT_EQ(GbkToUtf8(Gbk("下载图片已启动")), "下载图片已启动");
    // An emoji has no GBK form: one question mark, the rest unchanged.
    EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80" "b"), "a?b");
    // Invalid UTF-8 is replaced, never rejected.
    EXPECT_EQ(Utf8ToGbk("a\xFF" "b"), "a?b");
    // A lone GBK lead byte at the end still converts the rest.
    EXPECT_EQ(GbkToUtf8("ab\xC3").substr(0, 2), "ab");
    // Input ends at its first zero byte.
    EXPECT_EQ(Utf8ToGbk(std::string_view("ab\0cd", 5)), "ab");
    EXPECT_EQ(GbkToUtf8(std::string_view("x\0y", 3)), "x");
    EXPECT_EQ(Utf8ToGbk(""), "");
}

TEST(CodePage, CharactersWithoutGbkAreNamedOnceInOrder) {
    EXPECT_EQ(CharactersWithoutGbk("猫 cat ?"), U"");
    EXPECT_EQ(CharactersWithoutGbk("\xF0\x9F\x98\x80猫\xF0\x9F\x90\xB1\xF0\x9F\x98\x80"), U"\U0001F600\U0001F431");
    EXPECT_EQ(CharactersWithoutGbk("a\xFF"), U"\uFFFD");
}

// Pasted text carries invisible characters that GBK has no form for; they are
// left out of the conversion, so refusing them would refuse what the user
// sees. Only what would come out as "?" is refused.
TEST(CodePage, InvisibleCharactersAreLeftOutNotRefused) {
    struct Case {
        const char* utf8;
        std::u32string refused;
        std::string gbk;
    };
    const Case cases[] = {
        {"n3\u200B", U"", "n3"},                             // zero-width space
        {"\uFEFF\u200C\u200Dn\u00AD3", U"", "n3"},          // BOM, ZWNJ, ZWJ, soft hyphen
        {"\u200E\u202Ecat\u2060", U"", "cat"},               // bidi marks, word joiner
        {"\u0600\uFFF9x", U"", "x"},                        // format characters ICU would show as "?"
        {"\u732B\uFE0F\U000E0101", U"", "\xC3\xA8"},         // variation selectors after 猫
        {"\u2764\uFE0F", U"\u2764", "?"},                    // the heart itself has no GBK form
        {"a\U0001F600\u200Bb", U"\U0001F600", "a?b"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CharactersWithoutGbk(c.utf8), c.refused) << c.utf8;
        EXPECT_EQ(Utf8ToGbk(c.utf8), c.gbk) << c.utf8;
    }
}

TEST(CodePage, CodePointNamesHaveFourDigitsAtLeastAndABound) {
    EXPECT_EQ(CodePointNames(U""), "");
    EXPECT_EQ(CodePointNames(U"\u00E9\U0001F600\U0010FFFF"), "U+00E9 U+1F600 U+10FFFF");
    EXPECT_EQ(CodePointNames(U"\u00E9\u00E8\u00EA", 2), "U+00E9 U+00E8 ...");
}

TEST(CodePage, LocaleDoesNotMatter) {
    // Conversions name code page 936 explicitly; a C locale changes nothing.
    setlocale(LC_ALL, "C");
    EXPECT_EQ(Utf8ToGbk("美女"), "\xC3\xC0\xC5\xAE");
}

}  // namespace
}  // namespace lumigrab
