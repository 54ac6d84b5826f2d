// The service as it answers today: the JSON endpoint, and refusals.
#include "harvest/json_results.h"
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
    for (const char* clear : {"https://img0.example.cn:8080/it/u=3061,28&fm=253?x=y_z", "http://127.0.0.1:1/pic/jpeg/9.jpg"})
        EXPECT_EQ(DecodeCipheredAddress(standin::detail::CipherAddress(clear)), clear);
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
    ASSERT_EQ(reading.records.size(), 3u);
    EXPECT_EQ(reading.records[0].address, "http://clear/1.jpg");
    EXPECT_EQ(reading.records[0].width, "500");
    EXPECT_EQ(reading.records[0].thumbnail, "http://t/1.jpg");
    EXPECT_EQ(reading.records[1].address, "http://a.com/2.jpg");
    EXPECT_EQ(reading.records[1].width, "20");
    EXPECT_EQ(reading.records[2].address, "http://h/3.jpg");
    EXPECT_EQ(reading.records[2].height, "7");
    EXPECT_FALSE(reading.refusal.has_value());
}

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
