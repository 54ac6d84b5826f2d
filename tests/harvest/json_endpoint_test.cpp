// The service as it answers today: the JSON endpoint, and refusals.
#include "harvest/json_results.h"
#include "harvest/title.h"
#include "harvest_fixture.h"
#include "tools/standin/page.h"

namespace lumigrab::testing {
namespace {

TEST(JsonEndpointTest, CipheredAddressesDecode) {
    struct Case {
        const char* ciphered;
        const char* clear;
    };
    for (const Case& c : {Case{"ippr_z2C$qAzdH3FAzdH3F", "http://"},
                          Case{"ippr_z2C$qAzdH3FAzdH3Fv1g_z&e3Bv54AzdH3Fw_z&e3B3r2", "http://cdn.com/a.jpg"},
                          Case{"IMG_l_z&e3BPNG", "IMG_9.PNG"}})
        EXPECT_EQ(DecodeCipheredAddress(c.ciphered), c.clear) << c.ciphered;
    // Every letter and digit the cipher knows, and the ones it leaves alone.
    for (const char* clear : {"https://img0.example.cn:8080/it/u=3061,28&fm=253?x=y_z", "http://127.0.0.1:1/pic/jpeg/9.jpg",
                              "http://abcdefghijklmnopqrstuvwxyz.ABCXYZ/0123456789_-$&~?=%"})
        EXPECT_EQ(DecodeCipheredAddress(standin::detail::CipherAddress(clear)), clear);
}

// Titles as the service writes them, and what a record keeps of them.
TEST(JsonEndpointTest, TitlesBecomePlainText) {
    struct Case {
        std::string html, plain;
    };
    const std::string a1021(1021, 'a');
    for (const Case& c : {
             Case{"<strong>猫</strong> - Lumi's", "猫 - Lumi's"},
             Case{"<!-- x --><?x?>a<br/>b</P>", "ab"},
             Case{"a < b > c", "a < b > c"},  // no tag starts with a space
             Case{"a<b", "a<b"},              // nor without its end
             Case{"&amp;&lt;&gt;&quot;&apos;", "&<>\"'"},
             Case{"&lt;b&gt;x&lt;/b&gt;", "<b>x</b>"},  // decoded text is no tag
             Case{"&#29483;&#x732B;&#X732b;&#x10FFFF;", "猫猫猫\U0010FFFF"},
             Case{"&#0;&#xD800;&#xDFFF;&#x110000;", "\uFFFD\uFFFD\uFFFD\uFFFD"},
             Case{"&bogus; &amp &#; &#x; &#12a; &#x0010FFFF;", "&bogus; &amp &#; &#x; &#12a; &#x0010FFFF;"},
             Case{" \t a \r\n b&nbsp;&#12288;c\xe2\x80\x83 ", "a b c"},
             // Each kind of space between words, the ends of each range included.
             Case{"a\xe2\x80\x80" "b\xe2\x80\x8a" "c\xe2\x80\xa8" "d\xe2\x80\xa9" "e\xe2\x80\xaf" "f\xe2\x81\x9f" "g\xe1\x9a\x80" "h\xc2\x85" "i\x0b" "j",
                  "a b c d e f g h i j"},
             Case{"a\x01" "b\x7f" "c\xc2\x80\xc2\x9f" "d\xe2\x80\xae" "e&#x2067;f\xd8\x9c" "g&#x200f;h", "abcdefgh"},
             Case{"a\xff" "b\xe7\x8c", "a\uFFFDb\uFFFD\uFFFD"},  // byte by byte
             Case{a1021 + "猫", a1021 + "猫"},
             Case{a1021 + "a猫", a1021 + "a"},
             Case{a1021 + "  猫", a1021},
             Case{"", ""},
         })
        EXPECT_EQ(PlainTitle(c.html), c.plain) << c.html;
    for (const Case& c : {Case{"ippr_z2C$qAzdH3FAzdH3Fw_z&e3Bv54AzdH3Fd_z&e3B3r2", "http://a.com/2.jpg"},
                          Case{"http://ippr/", "http://ippr/"}, Case{"", ""}})
        EXPECT_EQ(SourcePageAddress(c.html), c.plain) << c.html;
}

// The shapes the endpoint writes: the clear replaceUrl first, the ciphered
// objURL without it, hoverURL when that is all there is; "\'" inside strings,
// and the empty object that ends the array.
TEST(JsonEndpointTest, RecordShapesBecomeRows) {
    const std::string body =
        R"({"queryEnc":"cat","data":[)"
        R"({"thumbURL":"http:\/\/t\/1.jpg","objURL":"ippr_z2C$qAzdH3FAzdH3Fw_z&e3Bv54AzdH3F1_z&e3Bjvg",)"
        R"("replaceUrl":[{"ObjURL":"http:\/\/clear\/1.jpg","FromURL":"x"}],"width":500,"height":375,)"
        R"("fromPageTitle":"<strong>cat<\/strong> - Lumi\'s"},)"
        R"({"thumbURL":"http:\/\/t\/2.jpg","objURL":"ippr_z2C$qAzdH3FAzdH3Fw_z&e3Bv54AzdH3Fd_z&e3B3r2","width":"20"},)"
        R"({"thumbURL":"http:\/\/t\/3.jpg","hoverURL":"http:\/\/h\/3.jpg","height":7},)"
        R"({"thumbURL":"http:\/\/t\/4.jpg"},{}]})";
    const JsonPageReading reading = ReadJsonPage(body);

    ASSERT_TRUE(reading.isData);
    const std::vector<ImageRecord>& rows = reading.pictures.records;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].address, "http://clear/1.jpg");
    EXPECT_EQ(rows[0].width, "500");
    EXPECT_EQ(rows[0].thumbnail, "http://t/1.jpg");
    EXPECT_EQ(rows[1].address, "http://a.com/2.jpg");
    EXPECT_EQ(rows[1].width, "20");
    EXPECT_EQ(rows[2].address, "http://h/3.jpg");
    EXPECT_EQ(rows[2].height, "7");
    EXPECT_FALSE(reading.refusal.has_value());
    EXPECT_FALSE(reading.pictures.unreadable);
}

struct FieldCase {
    const char* name;
    std::string record;  // one element of the data array, between two plain ones
    std::string address, width, height;  // what its row holds (UTF-8)
    std::string thumbnail = {};
    std::string sourcePage = {}, title = {};
};
void PrintTo(const FieldCase& c, std::ostream* out) { *out << c.name; }

class JsonFieldTest : public ::testing::TestWithParam<FieldCase> {};

// A field that cannot be read is left out of its record, and only of it.
TEST_P(JsonFieldTest, RecordKeepsWhatItCan) {
    const FieldCase& c = GetParam();
    const JsonPageReading reading =
        ReadJsonPage(R"({"data":[{"hoverURL":"a"},)" + c.record + R"(,{"hoverURL":"z"}]})");
    ASSERT_TRUE(reading.isData);
    const std::vector<ImageRecord>& rows = reading.pictures.records;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].address, "a");
    EXPECT_EQ(rows[2].address, "z");
    EXPECT_EQ(rows[1].address, Gbk(c.address));
    EXPECT_EQ(rows[1].width, Gbk(c.width));
    EXPECT_EQ(rows[1].height, Gbk(c.height));
    EXPECT_EQ(rows[1].thumbnail, Gbk(c.thumbnail));
    EXPECT_EQ(rows[1].sourcePage, Gbk(c.sourcePage));
    EXPECT_EQ(rows[1].title, Gbk(c.title));
}

const std::string kMiB(std::size_t{1} << 20, 'm');

INSTANTIATE_TEST_SUITE_P(
    Fields, JsonFieldTest,
    ::testing::Values(
        FieldCase{"NumberNoDoubleHoldsElsewhere", R"({"di":1e400,"hoverURL":"h","width":5,"height":-1e-400})", "h", "5", ""},
        FieldCase{"SizesNoDoubleHolds", R"({"hoverURL":"h","width":1e400,"height":-123e456})", "h", "", ""},
        FieldCase{"SizesAtTheTopOfTheRange", R"({"hoverURL":"h","width":2147483647,"height":2147483647.0})", "h",
                  "2147483647", "2147483647"},
        FieldCase{"SizesPastTheTop", R"({"hoverURL":"h","width":18446744073709551615,"height":2147483648})", "h", "", ""},
        FieldCase{"SizesAtTheBottom", R"({"hoverURL":"h","width":0,"height":0.5})", "h", "0", "0.5"},
        FieldCase{"SizesBelowIt", R"({"hoverURL":"h","width":-1,"height":-0.5})", "h", "", ""},
        FieldCase{"SizesAsTextStand", R"({"hoverURL":"h","width":"640px","height":null})", "h", "640px", ""},
        FieldCase{"WhereItWasFound",
                  R"({"hoverURL":"h","fromURL":"ippr_z2C$qAzdH3FAzdH3Fw_z&e3Bv54AzdH3Fd_z&e3B3r2",)"
                  R"("fromPageTitle":"<strong>\u732b<\/strong> &amp; Lumi\'s"})",
                  "h", "", "", "", "http://a.com/2.jpg", "猫 & Lumi's"},
        FieldCase{"SourceInTheClearTitleNotText", R"({"hoverURL":"h","fromURL":"https:\/\/b\/","fromPageTitle":3})",
                  "h", "", "", "", "https://b/", ""},
        FieldCase{"TitleNotUtf8", "{\"fromPageTitle\":\"a\xff\xc0\x80\",\"hoverURL\":\"h\"}", "h", "", ""},
        FieldCase{"AddressNotUtf8FallsBack", "{\"objURL\":\"ippr\xed\xa0\x80\",\"hoverURL\":\"h\"}", "h", "", ""},
        FieldCase{"ControlCharacterInThumbnail", "{\"hoverURL\":\"h\",\"thumbURL\":\"t\x01\"}", "h", "", ""},
        FieldCase{"BrokenEscapes",
                  R"({"hoverURL":"h","thumbURL":"t\x","middleURL":"\u12g4","objURL":"\ud800x","width":"\udc00",)"
                  R"("height":"\x0041\ud800xudc00"})",
                  "h", "", ""},
        FieldCase{"Escapes", R"({"hoverURL":"\u732b\/\ud83d\ude00\"","thumbURL":"t\'s"})", "猫/😀\"", "", "", "t's"},
        FieldCase{"FieldOfAMiB", R"({"hoverURL":"h","thumbURL":")" + kMiB + "\"}", "h", "", "", kMiB},
        FieldCase{"FieldPastAMiB", R"({"hoverURL":"h","thumbURL":"\u00e9)" + kMiB + "\"}", "h", "", ""},
        FieldCase{"FirstReplacementOnly",
                  R"({"replaceUrl":[{"ObjURL":"c1","FromURL":"x"},{"ObjURL":"c2"}],"objURL":"ippr"})", "c1", "", ""},
        FieldCase{"ReplacementWithoutAddressFallsBack",
                  R"({"replaceUrl":[{"FromURL":"x"},{"ObjURL":"c2"}],"objURL":"ippr_z2C$q"})", "http:", "", ""},
        FieldCase{"LastOfTwoNames",
                  R"({"hoverURL":"h","middleURL":"m","hoverURL":null,"thumbURL":"t","thumbURL":[1]})", "m", "", ""},
        FieldCase{"NestedMembersAreNotTheRecords",
                  R"({"hoverURL":"h","x":{"hoverURL":"x","width":3,"data":[{"hoverURL":"y"}]},"width":[7]})", "h", "",
                  ""},
        FieldCase{"NestedDeeperThanAnyStack",
                  R"({"hoverURL":"h","deep":)" + std::string(200000, '[') + std::string(200000, ']') + R"(,"width":9})",
                  "h", "9", ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct AnswerCase {
    const char* name;
    std::string body;
    bool isData;
    std::size_t rows;
    bool unreadable = false;
    std::optional<std::string> refusal = std::nullopt;  // UTF-8
};
void PrintTo(const AnswerCase& c, std::ostream* out) { *out << c.name; }

class JsonAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(JsonAnswerTest, IsReadAsAWhole) {
    const AnswerCase& c = GetParam();
    const JsonPageReading reading = ReadJsonPage(c.body);
    EXPECT_EQ(reading.isData, c.isData);
    EXPECT_EQ(reading.pictures.records.size(), c.rows);
    EXPECT_EQ(reading.pictures.unreadable, c.unreadable);
    EXPECT_EQ(reading.refusal, c.refusal);
}

std::string Elements(std::size_t count, std::string_view element) {
    std::string out = R"({"data":[)";
    for (std::size_t i = 0; i < count; ++i) (out += element) += ',';
    out.back() = ']';
    return out + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, JsonAnswerTest,
    ::testing::Values(
        AnswerCase{"NotJson", "<html></html>", false, 0},
        AnswerCase{"CutShort", R"({"data":[{"hoverURL":"h"},)", false, 0},
        AnswerCase{"TrailingBytes", R"({"data":[{"hoverURL":"h"}]}x)", false, 0},
        AnswerCase{"NumberJsonDoesNotWrite", R"({"data":[{"hoverURL":"h","di":01e999}]})", false, 0},
        AnswerCase{"NoObject", R"([{"data":[{"hoverURL":"h"}]}])", false, 0},
        AnswerCase{"DataNoArray", R"({"data":{"hoverURL":"h"}})", false, 0},
        AnswerCase{"LastDataCounts", R"({"data":[{"hoverURL":"h"}],"data":[{"hoverURL":"h"},{"hoverURL":"i"}]})", true, 2},
        AnswerCase{"OddElements", R"({"data":[1,"h",null,[{"hoverURL":"h"}],{"hoverURL":"h"}]})", true, 1},
        AnswerCase{"AsManyElementsAsAPageHolds", Elements(100000, R"({"hoverURL":"h"})"), true, 100000},
        AnswerCase{"OneMore", Elements(100001, R"({"hoverURL":"h"})"), true, 0, true},
        // Taken in up to the cap, and no further: what follows is never read.
        AnswerCase{"OneMoreThenAnything", Elements(100001, "{}").substr(0, 300012) + "\x01", true, 0, true},
        AnswerCase{"AntiFlagZeroIsNoRefusal", R"({"antiFlag":0,"message":"m","data":[{"hoverURL":"h"}]})", true, 1},
        AnswerCase{"Refusal", R"({"antiFlag":1,"message":"Forbid spider access"})", false, 0, false,
                   "Forbid spider access"},
        AnswerCase{"RefusalAfterTheData", R"({"data":[{"hoverURL":"h"}],"message":7,"antiFlag":"1"})", false, 0, false,
                   "antiFlag"},
        AnswerCase{"RefusalWordsCommandNoTerminal",
                   R"({"antiFlag":true,"message":"\u001b]0;owned\u0007\r\u0000forged\u202eline\u001b[2J"})", false, 0,
                   false, "]0;owned forgedline [2J"},
        AnswerCase{"RefusalWordsNotUtf8", "{\"antiFlag\":1,\"message\":\"a\xff" "b\"}", false, 0, false, "a\uFFFDb"},
        AnswerCase{"RefusalWordsPastAMiB", R"({"antiFlag":1,"message":")" + std::string(5 << 20, 'w') + "\"}", false, 0,
                   false, std::string(200, 'w') + "…"}),
    [](const auto& info) { return std::string(info.param.name); });

// Where the result page is gone, the pictures come from the JSON endpoint,
// which lists them only for a session with the front page's cookie and Referer.
TEST_F(HarvestFixture, GoneResultPageFallsBackToTheJsonEndpoint) {
    window.setText(ctl::kKeyword, "standin-gone");
    window.setText(ctl::kDepth, "2");
    window.setText(ctl::kThreadCount, "2");

    Harvest();

    EXPECT_EQ(window.logMessages(), ClosingLines(window.rowCount(ctl::kResultList)));
    EXPECT_GT(window.rowCount(ctl::kResultList), 40);
    EXPECT_EQ(window.cell(ctl::kResultList, 0, ctl::kColAddress), server.pictureUrl(standin::PictureKind::Jpeg, 0));
    int asked = 0;
    for (const auto& r : server.requests()) {
        if (!r.pathAndQuery.starts_with("/search/acjson")) continue;
        ++asked;
        std::string cookie, referer;
        for (const auto& [name, value] : r.headers) {
            if (name == "Cookie") cookie = value;
            if (name == "Referer") referer = value;
        }
        EXPECT_NE(cookie.find(standin::kSessionCookie), std::string::npos);
        EXPECT_EQ(referer, "https://image.baidu.com/");
    }
    EXPECT_EQ(asked, 2);
}

struct Refusal {
    const char* keyword;
    const char* words;  // UTF-8
};
void PrintTo(const Refusal& c, std::ostream* out) { *out << c.keyword; }

class RefusalTest : public HarvestFixture, public ::testing::WithParamInterface<Refusal> {};

// Said once, after the closing lines, and no further page is asked for.
TEST_P(RefusalTest, IsSaidAndEndsTheAsking) {
    window.setText(ctl::kKeyword, GetParam().keyword);
    window.setText(ctl::kDepth, "3");
    window.setText(ctl::kThreadCount, "1");

    Harvest();

    std::vector<Text> expected = ClosingLines(0);
    expected.push_back(Gbk(std::string("第0页被拒绝: ") + GetParam().words));
    EXPECT_EQ(window.logMessages(), expected);
    EXPECT_EQ(DistinctPages(), 1u);
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 3);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RefusalTest,
    ::testing::Values(Refusal{"standin-403", "HTTP 403"}, Refusal{"standin-429", "HTTP 429"},
                      Refusal{"standin-refused", "百度安全验证"}, Refusal{"standin-gone-verify", "百度安全验证"},
                      Refusal{"standin-gone-antiflag", "Forbid spider access"}),
    [](const auto& info) {
        std::string name = info.param.keyword;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

}  // namespace
}  // namespace lumigrab::testing
