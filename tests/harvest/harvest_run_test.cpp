// Whole runs against the stand-in: rows, save names, the run's end.
#include <algorithm>
#include <cctype>

#include "harvest_fixture.h"

namespace lumigrab::testing {
namespace {

using standin::PageElement;
using standin::StandinServer;

std::vector<PageElement> Listed(const StandinServer& server, std::string_view keywordUtf8,
                                int pn) {
    std::vector<PageElement> listed;
    for (const PageElement& e : server.listing(keywordUtf8, pn))
        if (e.objUrlForm == PageElement::ObjUrl::Present) listed.push_back(e);
    return listed;
}

// "cat" + letters alternating lower/upper + " " + position.
void ExpectSaveName(const Text& saveName, std::size_t letters, int position) {
    const Text tail = " " + std::to_string(position);
    ASSERT_EQ(saveName.size(), 3 + letters + tail.size()) << saveName;
    EXPECT_EQ(saveName.substr(0, 3), "cat");
    EXPECT_EQ(saveName.substr(3 + letters), tail);
    for (std::size_t i = 0; i < letters; ++i) {
        const unsigned char ch = static_cast<unsigned char>(saveName[3 + i]);
        EXPECT_TRUE(i % 2 == 0 ? std::islower(ch) : std::isupper(ch)) << saveName;
    }
}

void ExpectRow(const std::vector<Text>& row, const PageElement& e) {
    EXPECT_EQ(row[ctl::kColAddress], Gbk(e.objURL));
    EXPECT_EQ(row[ctl::kColWidth], e.hasWidth ? std::to_string(e.width) : Text{});
    EXPECT_EQ(row[ctl::kColHeight], std::to_string(e.height));
    EXPECT_EQ(row[ctl::kColState], "");
    EXPECT_EQ(row[ctl::kColThumbnail], Gbk(e.thumbURL));
}

TEST_F(HarvestFixture, OnePageFillsListAndCloses) {
    window.insertRow(ctl::kResultList, 0, "old 1");
    window.setProgressMaximum(ctl::kProgress, 50);
    window.setProgressPosition(ctl::kProgress, 9);

    Harvest();

    const std::vector<PageElement> listed = Listed(server, "猫", 0);
    // The stand-in's first page holds a null objURL, a missing objURL, a missing
    // width and the closing empty object.
    ASSERT_EQ(listed.size(), 28u);
    const auto rows = window.rows(ctl::kResultList);
    ASSERT_EQ(rows.size(), listed.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        ExpectSaveName(rows[i][ctl::kColSaveName], 3, static_cast<int>(i) + 1);
        ExpectRow(rows[i], listed[i]);
    }
    EXPECT_EQ(window.logMessages(), ClosingLines(static_cast<int>(rows.size())));
    EXPECT_EQ(window.progressMaximum(ctl::kProgress), 1);
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 1);

    const auto requests = server.requests();
    const auto page = std::find_if(requests.begin(), requests.end(), [](const auto& r) {
        return r.pathAndQuery.rfind("/search/flip", 0) == 0;
    });
    ASSERT_NE(page, requests.end());
    EXPECT_TRUE(page->viaTunnel);
    EXPECT_EQ(page->host, "image.baidu.com");
}

struct AddressCase {
    const char* name;
    std::string keywordUtf8;
    const char* depth;
    const char* width;
    const char* height;
    std::vector<std::string> paths;  // sorted
};

class AddressTest : public HarvestFixture, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(AddressTest, RequestsEachPageOnce) {
    const AddressCase& c = GetParam();
    window.setText(ctl::kKeyword, Gbk(c.keywordUtf8));
    window.setText(ctl::kDepth, c.depth);
    window.setText(ctl::kWidthFilter, c.width);
    window.setText(ctl::kHeightFilter, c.height);
    window.setText(ctl::kThreadCount, "3");

    Harvest();

    std::vector<std::string> paths = PagePaths();
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, c.paths);
}

const std::string kFlip = "/search/flip?tn=baiduimage&ie=utf-8&word=";

INSTANTIATE_TEST_SUITE_P(
    Pages, AddressTest,
    ::testing::Values(
        AddressCase{"SpacesTrimmedFullWidthToo", "　 cat 　", "1", "", "",
                    {kFlip + "%63%61%74&pn=0&gsm=0&ct=&ic=0&lm=-1&width=0&height=0"}},
        AddressCase{"SpacesOnlyKeyword", "  　", "1", "", "",
                    {kFlip + "&pn=0&gsm=0&ct=&ic=0&lm=-1&width=0&height=0"}},
        AddressCase{"OffsetsTwentyApart", "cat", "3", "", "",
                    {kFlip + "%63%61%74&pn=0&gsm=0&ct=&ic=0&lm=-1&width=0&height=0",
                     kFlip + "%63%61%74&pn=20&gsm=0&ct=&ic=0&lm=-1&width=0&height=0",
                     kFlip + "%63%61%74&pn=40&gsm=0&ct=&ic=0&lm=-1&width=0&height=0"}},
        AddressCase{"BothFilters", "猫", "1", "400", "300",
                    {kFlip + "%E7%8C%AB&pn=0&gsm=0&ct=&ic=0&lm=-1&width=400&height=300"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HarvestFixture, ConcurrentPagesKeepBlocksAndPositions) {
    window.setText(ctl::kDepth, "3");
    window.setText(ctl::kThreadCount, "3");
    window.setText(ctl::kLetterCount, Gbk("２"));
    window.lingerMicros = 2000;

    Harvest();

    std::vector<std::vector<PageElement>> pages;
    for (int page = 0; page < 3; ++page) pages.push_back(Listed(server, "猫", page * 20));

    const auto rows = window.rows(ctl::kResultList);
    for (std::size_t i = 0; i < rows.size(); ++i)
        ExpectSaveName(rows[i][ctl::kColSaveName], 2, static_cast<int>(i) + 1);

    // Pages overlap in the stand-in's result set, so addresses alone do not
    // name a page: the rows must be the three pages' lists, each whole and in
    // element order, one after another in some order.
    std::vector<int> order{0, 1, 2};
    bool matched = false;
    do {
        std::vector<const PageElement*> expected;
        for (int page : order)
            for (const PageElement& e : pages[page]) expected.push_back(&e);
        if (expected.size() != rows.size()) break;
        bool same = true;
        for (std::size_t i = 0; i < rows.size() && same; ++i)
            same = rows[i][ctl::kColAddress] == Gbk(expected[i]->objURL) &&
                   rows[i][ctl::kColThumbnail] == Gbk(expected[i]->thumbURL);
        if (same) {
            matched = true;
            for (std::size_t i = 0; i < rows.size(); ++i) ExpectRow(rows[i], *expected[i]);
        }
    } while (!matched && std::next_permutation(order.begin(), order.end()));
    EXPECT_TRUE(matched) << "rows are not three whole pages one after another";
    EXPECT_EQ(window.logMessages(), ClosingLines(static_cast<int>(rows.size())));
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 3);
}

TEST_F(HarvestFixture, DuplicateAddressesMakeTwoRows) {
    window.setText(ctl::kKeyword, "standin-duplicates");
    Harvest();
    const auto rows = window.rows(ctl::kResultList);
    ASSERT_EQ(rows.size(), Listed(server, "standin-duplicates", 0).size());
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0][ctl::kColAddress], rows[1][ctl::kColAddress]);
    EXPECT_NE(rows[0][ctl::kColSaveName], rows[1][ctl::kColSaveName]);
}

class FailedPageTest : public HarvestFixture,
                       public ::testing::WithParamInterface<const char*> {};

TEST_P(FailedPageTest, StillStepsAndEndsTheRun) {
    window.setText(ctl::kKeyword, GetParam());
    window.setText(ctl::kDepth, "2");
    window.setText(ctl::kThreadCount, "2");

    Harvest();

    EXPECT_EQ(window.rowCount(ctl::kResultList), 0);
    EXPECT_EQ(window.progressMaximum(ctl::kProgress), 2);
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 2);
    EXPECT_EQ(window.logMessages(), ClosingLines(0));
    EXPECT_EQ(DistinctPages(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Pages, FailedPageTest,
                         ::testing::Values("standin-nomarker", "standin-truncated",
                                           "standin-cutoff", "standin-empty",
                                           "standin-emptyarray", "standin-stall"));

TEST_F(HarvestFixture, RefusedConnectionStillEndsTheRun) {
    int deadPort = 0;
    {
        StandinServer dead;
        deadPort = dead.port();
    }
    const std::string proxy = "http://127.0.0.1:" + std::to_string(deadPort);
    setenv("https_proxy", proxy.c_str(), 1);
    setenv("HTTPS_PROXY", proxy.c_str(), 1);
    window.setText(ctl::kDepth, "3");
    window.setText(ctl::kThreadCount, "2");

    Harvest();

    EXPECT_EQ(window.rowCount(ctl::kResultList), 0);
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 3);
    EXPECT_EQ(window.logMessages(), ClosingLines(0));
}

TEST_F(HarvestFixture, PageLinesCountFromZero) {
    window.setText(ctl::kKeyword, "standin-stall");
    window.setText(ctl::kDepth, "3");
    window.setText(ctl::kThreadCount, "3");
    StartHarvest(window, state);

    // Every page has logged before the stalled fetches give up.
    ASSERT_TRUE(window.waitFor([](FakeWindow& w) { return w.logMessages().size() >= 5; }, 5000));
    std::vector<Text> log = window.logMessages();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0], Gbk("使用说明:"));
    EXPECT_EQ(log[1], Gbk("图片地址采集已启动") + std::string(28, '*'));
    std::sort(log.begin() + 2, log.end());
    EXPECT_EQ(std::vector<Text>(log.begin() + 2, log.end()),
              (std::vector<Text>{Gbk("正在解析第0页数据"), Gbk("正在解析第1页数据"),
                                 Gbk("正在解析第2页数据")}));
    EXPECT_FALSE(window.isEnabled(ctl::kHarvestButton));

    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(window.logMessages(), ClosingLines(0));
}

}  // namespace
}  // namespace lumigrab::testing
