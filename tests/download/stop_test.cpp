#include "download_fixture.h"

namespace lumigrab::testing {
namespace {

const Text kStoppedLine = Gbk("已停止下载");
const Text kPreviewStoppedLine = Gbk("自动预览已停止");
const Text kStopFailedLine = Gbk("停止失败");

// A picture the stand-in answers only after `ms` milliseconds.
std::string SlowUrl(const standin::StandinServer& server, int id, int ms) {
    return server.pictureUrl(PictureKind::Slow, id) + "?ms=" + std::to_string(ms);
}

TEST_F(DownloadTest, StopBeforeAnyRunFailsAndKeepsList) {
    AddRow("keep 1", PictureKind::Jpeg, 1);
    window.setTimerInterval(ctl::kPreviewTimer, 5000);
    window.setEnabled(ctl::kDownloadButton, false);

    EXPECT_FALSE(StopDownload(window, state));

    EXPECT_EQ(window.history(), std::vector<Text>{kStopFailedLine});
    EXPECT_EQ(window.rowCount(ctl::kResultList), 1);
    EXPECT_EQ(window.timerInterval(ctl::kPreviewTimer), 5000);
    EXPECT_TRUE(window.isEnabled(ctl::kDownloadButton));
}

TEST_F(DownloadTest, StopAfterRunEndedFailsAndKeepsList) {
    AddRow("done 1", PictureKind::Jpeg, 1);
    RunToEnd();

    StopDownload(window, state);

    EXPECT_EQ(window.logMessages(), (std::vector<Text>{kFinalLine, kStopFailedLine}));
    EXPECT_EQ(window.rowCount(ctl::kResultList), 1);
}

TEST_F(DownloadTest, SecondStopFails) {
    AddRow("x 1", SlowUrl(server, 1, 300), "");
    StartDownload(window, state, program);
    ASSERT_TRUE(server.waitForRequests(1, 10s));

    EXPECT_TRUE(StopDownload(window, state));
    EXPECT_FALSE(StopDownload(window, state));

    auto history = window.history();
    ASSERT_GE(history.size(), 3u);
    EXPECT_EQ(std::vector<Text>(history.end() - 3, history.end()),
              (std::vector<Text>{kStoppedLine, kPreviewStoppedLine, kStopFailedLine}));
}

TEST_F(DownloadTest, StopDuringRunEndsItAndDrainingWorkersStayOutOfNextRun) {
    const std::filesystem::path folder = Folder("stop");
    window.setText(ctl::kKeyword, "stop");
    window.setText(ctl::kThreadCount, "2");
    window.setTimerInterval(ctl::kPreviewTimer, 5000);
    // Run A: slow pictures, so its first two workers are still fetching when
    // it is stopped and when run B has already ended.
    for (int i = 1; i <= 6; ++i) AddRow("a " + std::to_string(i), SlowUrl(server, 100 + i, 1500), "");

    StartDownload(window, state, program);
    ASSERT_TRUE(server.waitForRequests(2, 10s));
    StopDownload(window, state);

    EXPECT_EQ(window.rowCount(ctl::kResultList), 0);
    EXPECT_EQ(window.timerInterval(ctl::kPreviewTimer), 0);
    EXPECT_TRUE(window.isEnabled(ctl::kDownloadButton));
    auto history = window.history();
    ASSERT_GE(history.size(), 2u);
    EXPECT_EQ(std::vector<Text>(history.end() - 2, history.end()),
              (std::vector<Text>{kStoppedLine, kPreviewStoppedLine}));

    // Run B over a new list whose first rows sit where run A's draining rows
    // were; its first row fails, so a stale "OK" would show.
    AddRow("b 1", PictureKind::Html, 201);
    AddRow("b 2", PictureKind::Jpeg, 202);
    AddRow("b 3", PictureKind::Jpeg, 203);
    StartDownload(window, state, program);
    ASSERT_TRUE(window.waitFor([](FakeWindow& w) { return w.isEnabled(ctl::kDownloadButton); }));
    ASSERT_TRUE(state.threads.waitIdle(60s));

    EXPECT_EQ(State(0), Gbk("失败"));
    EXPECT_EQ(State(1), "OK");
    EXPECT_EQ(State(2), "OK");
    EXPECT_EQ(window.logMessages(), std::vector<Text>{kFinalLine});
    EXPECT_EQ(window.progressMaximum(ctl::kProgress), 3);
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 3);
    // No worker of run A started after the stop, and A kept nothing.
    EXPECT_EQ(server.hitsUnder("/pic/slow/"), 2);
    EXPECT_EQ(FolderEntries(folder), (std::vector<std::string>{"b 2.jpg", "b 3.jpg"}));
    history = window.history();
    for (int i = 1; i <= 6; ++i) {
        EXPECT_EQ(std::count(history.begin(), history.end(), CompletionLine(i)), i <= 3 ? 1 : 0) << i;
    }
}

TEST_F(DownloadTest, StopWhileControllerWaitsForASlotEndsIt) {
    // The controller waits for the one slot; the stop request has to wake it.
    window.setText(ctl::kThreadCount, "1");
    for (int i = 1; i <= 3; ++i) AddRow("w " + std::to_string(i), SlowUrl(server, i, 200), "");

    StartDownload(window, state, program);
    ASSERT_TRUE(server.waitForRequests(1, 10s));
    StopDownload(window, state);

    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(state.threads.waitIdle(20s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(server.hitsUnder("/pic/slow/"), 1);
}

TEST_F(DownloadTest, RestartWhileRunningStopsEarlierRun) {
    window.setText(ctl::kThreadCount, "1");
    for (int i = 1; i <= 3; ++i) AddRow("e " + std::to_string(i), SlowUrl(server, i, 400), "");
    StartDownload(window, state, program);
    ASSERT_TRUE(server.waitForRequests(1, 10s));

    // The button is disabled during a run; a second start anyway must not let
    // two runs share the list and the bar.
    StartDownload(window, state, program);
    ASSERT_TRUE(state.threads.waitIdle(60s));

    auto history = window.history();
    EXPECT_EQ(std::count(history.begin(), history.end(), kFinalLine), 1);
    EXPECT_EQ(window.logMessages(), std::vector<Text>{kFinalLine});
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 3);
    // The first run's one worker plus the second run's three.
    EXPECT_EQ(server.hitsUnder("/pic/slow/"), 4);
}

TEST_F(DownloadTest, RefilledListKeepsItsOwnStates) {
    // A harvest empties and refills the list while a row is being fetched:
    // the new row at that index is not the one downloaded and gets no state.
    window.setText(ctl::kKeyword, "refill");
    AddRow("old 1", SlowUrl(server, 1, 400), "");
    StartDownload(window, state, program);
    ASSERT_TRUE(server.waitForRequests(1, 10s));
    window.clearRows(ctl::kResultList);
    AddRow("new 1", PictureKind::Jpeg, 9);
    ASSERT_TRUE(state.threads.waitIdle(60s));

    EXPECT_EQ(State(0), "");
    EXPECT_EQ(window.logMessages(), std::vector<Text>{kFinalLine});
    EXPECT_TRUE(std::filesystem::exists(Folder("refill") / "old 1.jpg"));
}

// Stop ends the stopped run's transfers, and a run started right after waits
// for them: whatever earlier runs left, never more than N pictures in flight.
TEST_F(DownloadTest, RestartsAfterStopNeverExceedTheLimit) {
    window.setText(ctl::kKeyword, "trickle");
    window.setText(ctl::kThreadCount, "3");
    const auto start = std::chrono::steady_clock::now();
    for (int cycle = 0; cycle < 3; ++cycle) {
        for (int i = 1; i <= 5; ++i)
            AddRow("t " + std::to_string(i), server.pictureUrl(PictureKind::Trickle, cycle * 10 + i), "");
        StartDownload(window, state, program);
        ASSERT_TRUE(server.waitForRequests(3 * (cycle + 1), 10s));
        StopDownload(window, state);
    }
    ASSERT_TRUE(state.threads.waitIdle(30s));

    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "stopped transfers ran on";
    EXPECT_EQ(server.maxConcurrentPictures(), 3);
    EXPECT_TRUE(FolderEntries(Folder("trickle")).empty());
}

}  // namespace
}  // namespace lumigrab::testing
