#include "preview/preview.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "port/controls.h"
#include "support/fake_window.h"
#include "text/encoding.h"
#include "tools/standin/standin.h"

namespace lumigrab::testing {
namespace {

using namespace std::chrono_literals;
using standin::PictureKind;

const Text kEmptyListMessage = Gbk("当前没有可预览的图片,请先下载");

class PreviewTest : public ::testing::Test {
protected:
    void TearDown() override { ASSERT_TRUE(state.steps.waitIdle(60s)) << "preview steps still running"; }

    // Rows whose thumbnails are pictures 1..count (full-size addresses too, so
    // a fetch of the wrong column would show).
    void AddRows(int count) {
        for (int i = 1; i <= count; ++i) {
            int row = window.rowCount(ctl::kResultList);
            window.insertRow(ctl::kResultList, row, "row " + std::to_string(i));
            window.setCell(ctl::kResultList, row, ctl::kColAddress, server.pictureUrl(PictureKind::Jpeg, i));
            window.setCell(ctl::kResultList, row, ctl::kColThumbnail,
                           server.pictureUrl(PictureKind::Jpeg, i, true));
        }
    }
    Bytes Thumbnail(int id) { return server.expectedBody(server.pictureUrl(PictureKind::Jpeg, id, true)); }
    Bytes Shown() { return window.picture(ctl::kPictureBox); }
    // A step shows its picture when the fetch is back, off the window thread.
    void Next() {
        ShowNextPicture(window, state);
        ASSERT_TRUE(state.steps.waitIdle(30s));
    }
    void Previous() {
        ShowPreviousPicture(window, state);
        ASSERT_TRUE(state.steps.waitIdle(30s));
    }

    standin::StandinServer server;
    FakeWindow window;
    PreviewState state;
};

TEST_F(PreviewTest, StepsWrapAroundBothWays) {
    AddRows(3);  // A, B, C

    Next();
    EXPECT_EQ(Shown(), Thumbnail(2));
    Next();
    EXPECT_EQ(Shown(), Thumbnail(3));
    Next();
    EXPECT_EQ(Shown(), Thumbnail(1));
    Previous();
    EXPECT_EQ(Shown(), Thumbnail(3));
    EXPECT_EQ(state.previewPosition, 2);
    Previous();
    EXPECT_EQ(Shown(), Thumbnail(2));

    EXPECT_EQ(server.hitsUnder("/pic/"), 0) << "only thumbnails are shown";
    EXPECT_EQ(window.logMessages().size(), 1u) << "stepping logs nothing";
}

TEST_F(PreviewTest, OneRowAlwaysShowsIt) {
    AddRows(1);
    for (int i = 0; i < 3; ++i) {
        window.setPicture(ctl::kPictureBox, {});
        Next();
        EXPECT_EQ(Shown(), Thumbnail(1));
        window.setPicture(ctl::kPictureBox, {});
        Previous();
        EXPECT_EQ(Shown(), Thumbnail(1));
    }
    EXPECT_EQ(state.previewPosition, 0);
}

struct BeyondCase {
    const char* name;
    int position;
    bool next;
    int shownId;
};

class BeyondList : public PreviewTest, public ::testing::WithParamInterface<BeyondCase> {};

TEST_P(BeyondList, ShowsAnExistingRow) {
    // The list became shorter (a new harvest, or Stop) after stepping far.
    AddRows(3);
    state.previewPosition = GetParam().position;

    if (GetParam().next) {
        Next();
    } else {
        Previous();
    }

    EXPECT_EQ(Shown(), Thumbnail(GetParam().shownId));
    EXPECT_EQ(state.previewPosition, GetParam().shownId - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Position, BeyondList,
    ::testing::Values(BeyondCase{"NextFromFarBeyond", 9, true, 1},
                      BeyondCase{"PreviousFromFarBeyond", 9, false, 3},
                      BeyondCase{"NextFromJustBeyond", 3, true, 1},
                      BeyondCase{"PreviousFromJustBeyond", 3, false, 3},
                      BeyondCase{"NextFromLast", 2, true, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PreviewTest, EmptyListShowsMessageAndChangesNothing) {
    state.previewPosition = 4;
    Next();
    Previous();

    auto messages = window.messages();
    ASSERT_EQ(messages.size(), 2u);
    for (const auto& m : messages) {
        EXPECT_EQ(m.message, kEmptyListMessage);
        EXPECT_EQ(m.caption, Gbk("信息："));
    }
    EXPECT_EQ(state.previewPosition, 4);
    EXPECT_EQ(window.pictureChanges(ctl::kPictureBox), 0);
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(PreviewTest, FailedFetchEmptiesPicture) {
    window.insertRow(ctl::kResultList, 0, "gone");
    window.setCell(ctl::kResultList, 0, ctl::kColThumbnail, server.pictureUrl(PictureKind::Stall, 1, true) + "?ms=1");
    window.setPicture(ctl::kPictureBox, Thumbnail(1));

    Next();

    EXPECT_TRUE(Shown().empty());
}

struct ToggleCase {
    const char* name;
    bool checkedBefore;
    int interval;
    const char* logLine;
    bool fetchShows;  // whether the fetch in flight at the click still shows
};

class Toggle : public PreviewTest, public ::testing::WithParamInterface<ToggleCase> {};

TEST_P(Toggle, SetsTimerAndLogs) {
    window.setChecked(ctl::kAutoPreview, GetParam().checkedBefore);
    window.setTimerInterval(ctl::kPreviewTimer, 12000);
    const std::string slow = server.pictureUrl(PictureKind::Slow, 1, true) + "?ms=1000";
    window.insertRow(ctl::kResultList, 0, "slow");
    window.setCell(ctl::kResultList, 0, ctl::kColThumbnail, slow);
    AutoPreviewTick(window, state);
    ASSERT_TRUE(server.waitForRequests(1, 10s));

    ToggleAutoPreview(window, state);

    EXPECT_EQ(window.timerInterval(ctl::kPreviewTimer), GetParam().interval);
    EXPECT_EQ(window.logMessages().back(), Gbk(GetParam().logLine));
    EXPECT_EQ(window.isChecked(ctl::kAutoPreview), GetParam().checkedBefore) << "the box toggles itself";
    ASSERT_TRUE(state.steps.waitIdle(30s));
    EXPECT_EQ(window.picturesShown(ctl::kPictureBox),
              GetParam().fetchShows ? std::vector<Bytes>{server.expectedBody(slow)} : std::vector<Bytes>{});
}

INSTANTIATE_TEST_SUITE_P(Box, Toggle,
                         ::testing::Values(ToggleCase{"SwitchesOn", false, 5000, "已开启自动预览", true},
                                           ToggleCase{"SwitchesOffEndingItsFetches", true, 0, "自动预览已关闭",
                                                      false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PreviewTest, AutoStepWithEmptyListClearsPicture) {
    window.setPicture(ctl::kPictureBox, Thumbnail(1));

    AutoPreviewStep(window);

    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(window.pictureChanges(ctl::kPictureBox), 2);
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(PreviewTest, AutoStepsPickEveryRowSometimes) {
    AddRows(3);
    std::set<Bytes> shown;
    for (int i = 0; i < 40; ++i) {
        AutoPreviewStep(window);
        shown.insert(Shown());
    }
    // With 40 uniform picks of 3 rows, missing one has a chance of about 1e-7.
    EXPECT_EQ(shown, (std::set<Bytes>{Thumbnail(1), Thumbnail(2), Thumbnail(3)}));
    EXPECT_EQ(server.hitsUnder("/pic/"), 0);
}

TEST_F(PreviewTest, TickShowsOnItsOwnThreadAndLeavesPosition) {
    AddRows(2);
    state.previewPosition = 1;

    AutoPreviewTick(window, state);
    ASSERT_TRUE(state.steps.waitIdle(30s));
    AutoPreviewTick(window, state);
    ASSERT_TRUE(state.steps.waitIdle(30s));

    EXPECT_EQ(window.pictureChanges(ctl::kPictureBox), 2);
    Bytes shown = Shown();
    EXPECT_TRUE(shown == Thumbnail(1) || shown == Thumbnail(2));
    EXPECT_EQ(state.previewPosition, 1);
    EXPECT_EQ(window.logMessages().size(), 1u) << "only the usage text";
}

struct OverlapCase {
    const char* name;
    // Tick i finds only row i + 1, whose thumbnail comes after delays[i] ms;
    // -1: a quick one whose picture is waited for before the next tick.
    std::vector<int> delays;
    std::vector<int> shownRows;  // in the order they show
};

class Overlap : public PreviewTest, public ::testing::WithParamInterface<OverlapCase> {};

// Ticks do not wait for earlier steps: a thumbnail slower than the ticks
// still shows when it comes, in the order the pictures come, and a tick with
// kAutoPreviewFetches in flight abandons the oldest, which shows nothing.
TEST_P(Overlap, SlowThumbnailsShowInTheOrderTheyCome) {
    std::vector<std::string> thumbnails;
    const auto start = std::chrono::steady_clock::now();
    for (int delay : GetParam().delays) {
        const int id = static_cast<int>(thumbnails.size()) + 1;
        thumbnails.push_back(delay < 0 ? server.pictureUrl(PictureKind::Jpeg, id, true)
                                       : server.pictureUrl(PictureKind::Slow, id, true) + "?ms=" +
                                             std::to_string(delay));
        window.clearRows(ctl::kResultList);
        window.insertRow(ctl::kResultList, 0, "row");
        window.setCell(ctl::kResultList, 0, ctl::kColThumbnail, thumbnails.back());
        AutoPreviewTick(window, state);
        // The step has picked its row once its request is in.
        ASSERT_TRUE(server.waitForRequests(thumbnails.size(), 10s));
        if (delay < 0) {
            ASSERT_TRUE(window.waitFor([](FakeWindow& w) { return w.pictureChanges(ctl::kPictureBox) > 0; }));
        }
    }
    ASSERT_TRUE(state.steps.waitIdle(30s));

    std::vector<Bytes> expected;
    for (int row : GetParam().shownRows) expected.push_back(server.expectedBody(thumbnails[row - 1]));
    EXPECT_EQ(window.picturesShown(ctl::kPictureBox), expected);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "an abandoned fetch was waited for";
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, Overlap,
    ::testing::Values(OverlapCase{"FifthInFlightAbandonsTheOldest", {6000, 3000, 2200, 1400, 600}, {5, 4, 3, 2}},
                      OverlapCase{"FinishedFetchesLeaveTheirPlace", {3000, -1, 2200, 1400, 600}, {2, 5, 4, 3, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PreviewTest, NewerStepSupersedesAHangingOne) {
    window.insertRow(ctl::kResultList, 0, "slow");
    window.setCell(ctl::kResultList, 0, ctl::kColThumbnail, server.pictureUrl(PictureKind::Stall, 1, true) + "?ms=5000");
    AddRows(1);
    state.previewPosition = 1;

    const auto start = std::chrono::steady_clock::now();
    ShowNextPicture(window, state);  // the hanging row: the window must not wait for it
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ShowNextPicture(window, state);  // the picture
    ASSERT_TRUE(state.steps.waitIdle(30s));

    EXPECT_EQ(Shown(), Thumbnail(1)) << "the older step's failure must not replace the newer picture";
}

}  // namespace
}  // namespace lumigrab::testing
