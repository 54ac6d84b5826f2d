#include "harvest/result_page.h"
#include "harvest/random_letters.h"
#include "json/script_engine.h"

#include <gtest/gtest.h>

#include <cctype>

#include "text/encoding.h"

namespace lumigrab {
namespace {

using namespace std::string_literals;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(PageOffsetTest, TwentyPerPage) {
    EXPECT_EQ(PageOffset(0), "0");
    EXPECT_EQ(PageOffset(1), "20");
    EXPECT_EQ(PageOffset(2), "40");
    // Past the 32-bit range of the product: must not turn negative.
    EXPECT_EQ(PageOffset(200000000), "4000000000");
}

struct UrlCase {
    const char* name;
    std::string keywordUtf8;
    const char* offset;
    const char* width;
    const char* height;
    const char* expectedTail;  // after the origin
};

class BuildResultPageUrlTest : public ::testing::TestWithParam<UrlCase> {};

TEST_P(BuildResultPageUrlTest, ExactAddress) {
    const UrlCase& c = GetParam();
    EXPECT_EQ(BuildResultPageUrl("https://image.baidu.com", Gbk(c.keywordUtf8), c.offset,
                                 c.width, c.height),
              "https://image.baidu.com"s + c.expectedTail);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, BuildResultPageUrlTest,
    ::testing::Values(
        UrlCase{"FirstPageNoFilters", "cat", "0", "", "",
                "/search/flip?tn=baiduimage&ie=utf-8&word=%63%61%74&pn=0&gsm=0&ct=&ic=0&lm=-1"
                "&width=0&height=0"},
        UrlCase{"OneFilterEmptyZeroesBoth", "cat", "20", "400", "",
                "/search/flip?tn=baiduimage&ie=utf-8&word=%63%61%74&pn=20&gsm=0&ct=&ic=0&lm=-1"
                "&width=0&height=0"},
        UrlCase{"WidthEmptyZeroesBoth", "cat", "20", "", "300",
                "/search/flip?tn=baiduimage&ie=utf-8&word=%63%61%74&pn=20&gsm=0&ct=&ic=0&lm=-1"
                "&width=0&height=0"},
        UrlCase{"FiltersAsTyped", "cat", "0", "400", "300",
                "/search/flip?tn=baiduimage&ie=utf-8&word=%63%61%74&pn=0&gsm=0&ct=&ic=0&lm=-1"
                "&width=400&height=300"},
        UrlCase{"FiltersNotEncoded", "cat", "0", "4 0", "a&b",
                "/search/flip?tn=baiduimage&ie=utf-8&word=%63%61%74&pn=0&gsm=0&ct=&ic=0&lm=-1"
                "&width=4 0&height=a&b"},
        UrlCase{"EmptyOffsetIsZero", "cat", "", "", "",
                "/search/flip?tn=baiduimage&ie=utf-8&word=%63%61%74&pn=0&gsm=0&ct=&ic=0&lm=-1"
                "&width=0&height=0"},
        UrlCase{"ChineseKeywordAsUtf8", "美女", "0", "", "",
                "/search/flip?tn=baiduimage&ie=utf-8&word=%E7%BE%8E%E5%A5%B3&pn=0&gsm=0&ct=&ic=0"
                "&lm=-1&width=0&height=0"},
        UrlCase{"EveryByteEncoded", "a b+", "0", "", "",
                "/search/flip?tn=baiduimage&ie=utf-8&word=%61%20%62%2B&pn=0&gsm=0&ct=&ic=0"
                "&lm=-1&width=0&height=0"},
        UrlCase{"EmptyKeyword", "", "0", "", "",
                "/search/flip?tn=baiduimage&ie=utf-8&word=&pn=0&gsm=0&ct=&ic=0&lm=-1"
                "&width=0&height=0"}),
    [](const auto& info) { return std::string(info.param.name); });

struct CutCase {
    const char* name;
    std::string body;
    std::string expectedUtf8;
};

class CutPictureArrayTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutPictureArrayTest, CutsBetweenMarkers) {
    const CutCase& c = GetParam();
    EXPECT_EQ(CutPictureArray(ToBytes(c.body)), Gbk(c.expectedUtf8));
}

const std::string kMarker = R"("isNeedAsyncRequest":0,"data":)";

INSTANTIATE_TEST_SUITE_P(
    Pages, CutPictureArrayTest,
    ::testing::Values(
        CutCase{"Plain", "<script>x({" + kMarker + "[{\"a\":1}]});</script>", "[{\"a\":1}]"},
        CutCase{"FirstMarkerWins", kMarker + "[1]});" + kMarker + "[2]});", "[1]"},
        CutCase{"EndSoughtBehindStart", "});" + kMarker + "[3]});", "[3]"},
        CutCase{"NoStartMarker", "\"isNeedAsyncRequest\":1,\"data\":[1]});", ""},
        CutCase{"NoEndMarker", kMarker + "[1,2", ""},
        CutCase{"EmptyBody", "", ""},
        CutCase{"ZeroByteBeforeMarker", "ab\0"s + kMarker + "[1]});", ""},
        CutCase{"ZeroByteAfterEnd", kMarker + "[1]});\0tail"s, "[1]"},
        CutCase{"ZeroByteInsideArray", kMarker + "[1\0]});"s, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CutPictureArrayTest, ConvertsToGbkBytes) {
    // 猫 is E7 8C AB in UTF-8 and C3 A8 in GBK.
    EXPECT_EQ(CutPictureArray(ToBytes(kMarker + "\xE7\x8C\xAB});")), "\xC3\xA8");
}

struct ArrayCase {
    const char* name;
    const char* arrayText;
    std::vector<ImageRecord> expected;
};

class ReadPictureArrayTest : public ::testing::TestWithParam<ArrayCase> {};

TEST_P(ReadPictureArrayTest, OneRecordPerAddress) {
    const ArrayCase& c = GetParam();
    const PictureArrayReading reading = ReadPictureArray(c.arrayText);
    EXPECT_FALSE(reading.unreadable);
    const std::vector<ImageRecord>& got = reading.records;
    ASSERT_EQ(got.size(), c.expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].address, c.expected[i].address);
        EXPECT_EQ(got[i].width, c.expected[i].width);
        EXPECT_EQ(got[i].height, c.expected[i].height);
        EXPECT_EQ(got[i].thumbnail, c.expected[i].thumbnail);
        EXPECT_EQ(got[i].sourcePage, c.expected[i].sourcePage);
        EXPECT_EQ(got[i].title, c.expected[i].title);
        EXPECT_EQ(got[i].saveName, "");
        EXPECT_EQ(got[i].state, "");
    }
}

ImageRecord Rec(const char* address, const char* width, const char* height, const char* thumb,
                const Text& source = {}, const Text& title = {}) {
    ImageRecord r;
    r.address = address;
    r.width = width;
    r.height = height;
    r.thumbnail = thumb;
    r.sourcePage = source;
    r.title = title;
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Elements, ReadPictureArrayTest,
    ::testing::Values(
        ArrayCase{"FinalEmptyObjectAddsNothing",
                  R"([{"objURL":"http://a/1.jpg","width":640,"height":480,"thumbURL":"http://a/t1.jpg"},)"
                  R"({"objURL":"http://a/2.jpg","width":10,"height":20,"thumbURL":"http://a/t2.jpg"},{}])",
                  {Rec("http://a/1.jpg", "640", "480", "http://a/t1.jpg"),
                   Rec("http://a/2.jpg", "10", "20", "http://a/t2.jpg")}},
        ArrayCase{"NullMissingOrEmptyAddressSkipped",
                  R"([{"objURL":null,"width":1,"height":1,"thumbURL":"t0"},)"
                  R"({"width":2,"height":2,"thumbURL":"t1"},)"
                  R"({"objURL":"","width":3,"height":3,"thumbURL":"t2"},)"
                  R"({"objURL":"u3","width":4,"height":4,"thumbURL":"t3"}])",
                  {Rec("u3", "4", "4", "t3")}},
        ArrayCase{"MissingMembersGiveEmptyCells",
                  R"([{"objURL":"u0","height":5,"thumbURL":"t0"},{"objURL":"u1","width":6}])",
                  {Rec("u0", "", "5", "t0"), Rec("u1", "6", "", "")}},
        ArrayCase{"DuplicatesKept", R"([{"objURL":"u"},{"objURL":"u"}])",
                  {Rec("u", "", "", ""), Rec("u", "", "", "")}},
        ArrayCase{"ServiceEscapes", R"([{"objURL":"http:\/\/a\/b.jpg","width" : 7,"thumbURL":"it\'s"}])",
                  {Rec("http://a/b.jpg", "7", "", "it's")}},
        ArrayCase{"WhereEachWasFound",
                  R"([{"objURL":"u0","fromURL":"ippr_z2C$qAzdH3FAzdH3Fw_z&e3Bv54AzdH3Fd_z&e3B3r2",)"
                  R"("fromPageTitle":" <strong>&#x732B;<\/strong> &amp;\tit\'s "},)"
                  R"({"objURL":"u1","fromURL":"https:\/\/b\/","fromPageTitle":3}])",
                  {Rec("u0", "", "", "", "http://a.com/2.jpg", Gbk("猫 & it's")), Rec("u1", "", "", "", "https://b/", "3")}},
        // As one document over the array reads it: a hole counts towards the
        // length but not towards Count(), so the last element goes unread.
        ArrayCase{"HoleHidesTheLastElement", R"([{"objURL":"u0"},,{"objURL":"u2"}])",
                  {Rec("u0", "", "", "")}},
        ArrayCase{"EmptyArray", "[]", {}},
        ArrayCase{"EmptyText", "", {}},
        ArrayCase{"Truncated", R"([{"objURL":"u0"},{"objURL":"u)", {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Far more small elements than one script engine's heap holds at once.
TEST(ReadPictureArrayTest, FortyThousandElementsGiveEveryRowInOrder) {
    constexpr int kElements = 40000;
    std::string text = "[";
    for (int i = 0; i < kElements; ++i) {
        const std::string n = std::to_string(i);
        if (i) text += ',';
        text += R"({"objURL":"http:\/\/img.example.com\/)" + n + R"(.jpg","width":)" + n +
                R"(,"height":7,"type":"jpg","thumbURL":"http:\/\/t.example.com\/)" + n +
                R"(.jpg"})";
    }
    text += ",{}]";

    const PictureArrayReading reading = ReadPictureArray(text);

    EXPECT_FALSE(reading.unreadable);
    ASSERT_EQ(reading.records.size(), static_cast<std::size_t>(kElements));
    for (int i = 0; i < kElements; ++i) {
        const std::string n = std::to_string(i);
        const ImageRecord& r = reading.records[static_cast<std::size_t>(i)];
        ASSERT_EQ(r.address, "http://img.example.com/" + n + ".jpg");
        ASSERT_EQ(r.width, n);
        ASSERT_EQ(r.height, "7");
        ASSERT_EQ(r.thumbnail, "http://t.example.com/" + n + ".jpg");
    }
}

struct UnreadableCase {
    const char* name;
    std::string (*arrayText)();
};
void PrintTo(const UnreadableCase& c, std::ostream* out) { *out << c.name; }

class UnreadableArrayTest : public ::testing::TestWithParam<UnreadableCase> {};

TEST_P(UnreadableArrayTest, NoRecordsAndFlagged) {
    const PictureArrayReading reading = ReadPictureArray(GetParam().arrayText());
    EXPECT_TRUE(reading.unreadable);
    EXPECT_TRUE(reading.records.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, UnreadableArrayTest,
    ::testing::Values(
        UnreadableCase{"ElementBeyondTheEngine",
                       [] {
                           return R"([{"objURL":"u0"},{"objURL":")" +
                                  std::string(ScriptEngine::kDefaultBudget / 2, 'a') + R"("}])";
                       }},
        UnreadableCase{"MoreElementsThanAPageMayList",
                       [] {
                           std::string text = R"([{"objURL":"u0"})";
                           for (std::size_t i = 0; i < kMaxPageElements; ++i) text += ",0";
                           return text + "]";
                       }}),
    [](const auto& info) { return std::string(info.param.name); });

struct SaveNameCase {
    const char* name;
    std::string letterCountUtf8;
    std::size_t letters;
};

class ComposeSaveNameTest : public ::testing::TestWithParam<SaveNameCase> {};

TEST_P(ComposeSaveNameTest, NameLettersSpacePosition) {
    const SaveNameCase& c = GetParam();
    const Text pictureName = Gbk("猫 cat");
    const Text name = ComposeSaveName(pictureName, Gbk(c.letterCountUtf8), 17);
    ASSERT_EQ(name.size(), pictureName.size() + c.letters + 3) << name;
    EXPECT_EQ(name.substr(0, pictureName.size()), pictureName);
    EXPECT_EQ(name.substr(name.size() - 3), " 17");
    const Text letters = name.substr(pictureName.size(), c.letters);
    for (std::size_t i = 0; i < letters.size(); ++i) {
        const unsigned char ch = static_cast<unsigned char>(letters[i]);
        if (i % 2 == 0)
            EXPECT_TRUE(std::islower(ch)) << letters;
        else
            EXPECT_TRUE(std::isupper(ch)) << letters;
    }
}

INSTANTIATE_TEST_SUITE_P(
    LetterCounts, ComposeSaveNameTest,
    ::testing::Values(SaveNameCase{"Zero", "0", 0}, SaveNameCase{"Empty", "", 0},
                      SaveNameCase{"NotANumber", "abc", 0}, SaveNameCase{"Negative", "-2", 0},
                      SaveNameCase{"Three", "3", 3}, SaveNameCase{"FullWidthDigit", "４", 4},
                      SaveNameCase{"FullWidthTwoDigits", "１２", 12},
                      SaveNameCase{"Fraction", "2.9", 2}, SaveNameCase{"LeadingBlank", " 5", 5},
                      SaveNameCase{"BeyondLimit", "99999999", kMaxRandomLetters}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumigrab
