// What happens at the click, before any page is fetched.
#include "harvest_fixture.h"

namespace lumigrab::testing {
namespace {

struct CheckCase {
    const char* name;
    std::string keyword;
    int depthIndex;
    std::string pictureName;
    std::string messageUtf8;
    std::string_view focus;   // empty: focus not moved
    std::string logUtf8;      // empty: no log line
};

class InputCheckTest : public HarvestFixture, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(InputCheckTest, StopsAtFirstFailedCheck) {
    const CheckCase& c = GetParam();
    window.typeText(ctl::kKeyword, c.keyword);
    window.selectEntry(ctl::kDepth, c.depthIndex);
    window.setText(ctl::kPictureName, c.pictureName);
    window.insertRow(ctl::kResultList, 0, "old");
    const std::vector<Text> logBefore = window.logMessages();

    EXPECT_FALSE(StartHarvest(window, state));

    const auto messages = window.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, Gbk(c.messageUtf8));
    EXPECT_EQ(messages[0].caption, Gbk("信息："));
    EXPECT_EQ(messages[0].icon, MessageIcon::None);
    EXPECT_EQ(window.focused(), std::string(c.focus));

    std::vector<Text> logAfter = logBefore;
    if (!c.logUtf8.empty()) logAfter.push_back(Gbk(c.logUtf8));
    EXPECT_EQ(window.logMessages(), logAfter);

    // No run: rows kept, button untouched, auto preview still off.
    EXPECT_EQ(window.rowCount(ctl::kResultList), 1);
    EXPECT_TRUE(window.isEnabled(ctl::kHarvestButton));
    EXPECT_FALSE(window.isEnabled(ctl::kAutoPreview));
    EXPECT_EQ(state.threads.live(), 0);
    EXPECT_EQ(server.pageRequests(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Order, InputCheckTest,
    ::testing::Values(
        CheckCase{"KeywordEmpty", "", 0, "cat", "请先输入查找关键词", ctl::kKeyword,
                  "获取失败,原因没有输入查找关键词"},
        CheckCase{"KeywordBeforeEverything", "", -1, "", "请先输入查找关键词", ctl::kKeyword,
                  "获取失败,原因没有输入查找关键词"},
        // The box would read "?cat??": refused, before the other checks.
        CheckCase{"KeywordWithoutGbkForm", "\U0001F600cat\U0001F431\U0001F600", -1, "",
                  "关键词中有无法使用的字符: U+1F600 U+1F431", ctl::kKeyword, ""},
        CheckCase{"DepthNotSelected", "cat", -1, "cat", "请选择下载的页数,即深度", "", ""},
        CheckCase{"DepthBeforeName", "cat", -1, "", "请选择下载的页数,即深度", "", ""},
        CheckCase{"NameEmpty", "cat", 0, "", "请先输入图片名称", ctl::kPictureName, ""}),
    [](const auto& info) { return std::string(info.param.name); });

class PageCountTest : public HarvestFixture,
                      public ::testing::WithParamInterface<const char*> {};

TEST_P(PageCountTest, NoPageMeansNoWorker) {
    window.selectEntry(ctl::kDepth, 0);
    window.setText(ctl::kDepth, GetParam());
    window.setProgressMaximum(ctl::kProgress, 7);
    window.setProgressPosition(ctl::kProgress, 3);

    Harvest();

    const auto messages = window.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, Gbk("请选择下载的深度"));
    EXPECT_EQ(messages[0].caption, Gbk("信息："));
    const std::vector<Text> log = window.logMessages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], Gbk("图片地址采集已启动") + std::string(28, '*'));
    EXPECT_EQ(log.back(), Gbk("没有选择下载的页码,即深度"));
    EXPECT_EQ(server.pageRequests(), 0);
    // The bar is left alone when no page runs.
    EXPECT_EQ(window.progressMaximum(ctl::kProgress), 7);
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 3);
}

INSTANTIATE_TEST_SUITE_P(Depths, PageCountTest, ::testing::Values("0", "-2", "abc", ""));

struct PreviewCase {
    const char* name;
    bool autoPreview;
    int expectedInterval;
};

class AutoPreviewTest : public HarvestFixture,
                        public ::testing::WithParamInterface<PreviewCase> {};

TEST_P(AutoPreviewTest, TimerOnlyWhenTicked) {
    window.setText(ctl::kKeyword, "standin-emptyarray");
    window.setChecked(ctl::kAutoPreview, GetParam().autoPreview);
    window.setTimerInterval(ctl::kPreviewTimer, 777);

    Harvest();

    EXPECT_TRUE(window.isEnabled(ctl::kAutoPreview));
    EXPECT_EQ(window.timerInterval(ctl::kPreviewTimer), GetParam().expectedInterval);
}

INSTANTIATE_TEST_SUITE_P(Ticks, AutoPreviewTest,
                         ::testing::Values(PreviewCase{"Unticked", false, 777},
                                           PreviewCase{"Ticked", true, 12000}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumigrab::testing
