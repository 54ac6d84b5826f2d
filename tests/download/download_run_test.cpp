#include <set>

#include "download_fixture.h"

namespace lumigrab::testing {
namespace {

TEST_F(DownloadTest, TenRowsWithHtmlAtRowsThreeAndSeven) {
    const Text keyword = Gbk("猫咪");
    window.setText(ctl::kKeyword, keyword);
    window.setText(ctl::kThreadCount, "3");
    for (int i = 1; i <= 10; ++i) {
        PictureKind kind = (i == 3 || i == 7) ? PictureKind::Html : PictureKind::Jpeg;
        AddRow(Gbk("猫") + "qWeR " + std::to_string(i), kind, i);
    }

    RunToEnd();

    std::set<std::string> expectedFiles;
    for (int i = 1; i <= 10; ++i) {
        std::filesystem::path file = Folder(keyword) / ("猫qWeR " + std::to_string(i) + ".jpg");
        if (i == 3 || i == 7) {
            EXPECT_EQ(State(i - 1), Gbk("失败")) << "row " << i;
            EXPECT_FALSE(std::filesystem::exists(file)) << file;
        } else {
            EXPECT_EQ(State(i - 1), "OK") << "row " << i;
            Bytes served = server.expectedBody(server.pictureUrl(PictureKind::Jpeg, i));
            ASSERT_FALSE(served.empty());
            EXPECT_EQ(ReadFile(file), served) << file;
            expectedFiles.insert(file.filename().string());
        }
    }
    auto entries = FolderEntries(Folder(keyword));
    EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()), expectedFiles)
        << "only the pictures, no leftovers";

    auto history = window.history();
    ASSERT_EQ(history.size(), 2u + 10u + 2u);
    EXPECT_EQ(history[0], kStartLine);
    EXPECT_EQ(history[1], kFolderLine);
    std::multiset<Text> completions(history.begin() + 2, history.begin() + 12);
    std::multiset<Text> expectedCompletions;
    for (int i = 1; i <= 10; ++i) expectedCompletions.insert(CompletionLine(i));
    EXPECT_EQ(completions, expectedCompletions);
    EXPECT_EQ(history[12], kLogCleared);
    EXPECT_EQ(history[13], kFinalLine);
    EXPECT_EQ(window.logMessages(), std::vector<Text>{kFinalLine});

    EXPECT_EQ(window.progressMaximum(ctl::kProgress), 10);
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 10);
    EXPECT_TRUE(window.isEnabled(ctl::kDownloadButton));
}

TEST_F(DownloadTest, OneWorkerCompletesRowsInOrder) {
    window.setText(ctl::kKeyword, "dogs");
    window.setText(ctl::kThreadCount, "1");
    for (int i = 1; i <= 4; ++i) AddRow("dog " + std::to_string(i), PictureKind::Gif, i);

    RunToEnd();

    auto history = window.history();
    std::vector<Text> completions(history.begin() + 2, history.begin() + 6);
    EXPECT_EQ(completions, (std::vector<Text>{CompletionLine(1), CompletionLine(2), CompletionLine(3),
                                              CompletionLine(4)}));
    EXPECT_EQ(server.maxConcurrentPictures(), 1);
}

// A finished worker frees its slot at once; a controller that only looked
// again after a pause would take tens of seconds over these rows.
TEST_F(DownloadTest, NextRowStartsAsSoonAsOneFinishes) {
    window.setText(ctl::kKeyword, "quick");
    window.setText(ctl::kThreadCount, "1");
    for (int i = 1; i <= 40; ++i) AddRow("q " + std::to_string(i), PictureKind::Jpeg, i);

    const auto start = std::chrono::steady_clock::now();
    RunToEnd();

    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(server.pictureRequests(), 40);
    EXPECT_EQ(server.maxConcurrentPictures(), 1);
}

struct LimitCase {
    const char* name;
    const char* threadBox;
    int limit;
};

class WorkerLimit : public DownloadTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(WorkerLimit, NeverMoreThanTheLimitAtOnce) {
    server.setPictureDelay(250ms);
    window.setText(ctl::kKeyword, "limit");
    window.setText(ctl::kThreadCount, GetParam().threadBox);
    const int rows = GetParam().limit * 2 + 1;
    for (int i = 1; i <= rows; ++i) AddRow("p " + std::to_string(i), PictureKind::Jpeg, i);

    RunToEnd();

    EXPECT_EQ(server.maxConcurrentPictures(), GetParam().limit);
    EXPECT_EQ(server.pictureRequests(), rows);
    EXPECT_EQ(window.logMessages(), std::vector<Text>{kFinalLine});
}

INSTANTIATE_TEST_SUITE_P(
    ThreadBox, WorkerLimit,
    ::testing::Values(LimitCase{"Two", "2", 2}, LimitCase{"EmptyMeansFive", "", 5},
                      LimitCase{"ZeroMeansFive", "0", 5}, LimitCase{"NonNumericMeansFive", "abc", 5},
                      LimitCase{"NegativeMeansFive", "-3", 5},
                      LimitCase{"FullWidthDigit", "\xA3\xB3", 3}),  // GBK full-width 3
    [](const auto& info) { return std::string(info.param.name); });

class PictureSource : public DownloadTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PictureSource, FullSizeRadioPicksTheColumn) {
    const bool fullSize = GetParam();
    window.setChecked(ctl::kFullSizeRadio, fullSize);
    window.setText(ctl::kKeyword, "src");
    window.setText(ctl::kThreadCount, "2");
    for (int i = 1; i <= 3; ++i) AddRow("s " + std::to_string(i), PictureKind::Jpeg, i);

    RunToEnd();

    for (int i = 1; i <= 3; ++i) {
        Bytes wanted = server.expectedBody(server.pictureUrl(PictureKind::Jpeg, i, !fullSize));
        Bytes other = server.expectedBody(server.pictureUrl(PictureKind::Jpeg, i, fullSize));
        ASSERT_NE(wanted, other);
        EXPECT_EQ(ReadFile(Folder("src") / ("s " + std::to_string(i) + ".jpg")), wanted);
    }
    EXPECT_EQ(server.hitsUnder(fullSize ? "/pic/" : "/thumb/"), 3);
    EXPECT_EQ(server.hitsUnder(fullSize ? "/thumb/" : "/pic/"), 0);
}

INSTANTIATE_TEST_SUITE_P(Radio, PictureSource, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FullSize" : "Thumbnail"; });

TEST_F(DownloadTest, PngKeepsItsBytesUnderJpgName) {
    window.setText(ctl::kKeyword, "png");
    AddRow("shot 1", PictureKind::Png, 4);

    RunToEnd();

    Bytes saved = ReadFile(Folder("png") / "shot 1.jpg");
    ASSERT_GE(saved.size(), 8u);
    EXPECT_EQ(saved[0], 0x89);
    EXPECT_EQ(saved[1], 'P');
    EXPECT_EQ(saved, server.expectedBody(server.pictureUrl(PictureKind::Png, 4)));
    EXPECT_EQ(State(0), "OK");
}

TEST_F(DownloadTest, SameSaveNameLaterRowWins) {
    window.setText(ctl::kKeyword, "twice");
    window.setText(ctl::kThreadCount, "1");
    AddRow("same", PictureKind::Jpeg, 1);
    AddRow("same", PictureKind::Gif, 2);

    RunToEnd();

    EXPECT_EQ(ReadFile(Folder("twice") / "same.jpg"),
              server.expectedBody(server.pictureUrl(PictureKind::Gif, 2)));
}

// One fetch for an address listed twice; every row is still a row of its own.
TEST_F(DownloadTest, SharedAddressIsFetchedOnceForEveryRow) {
    window.setText(ctl::kKeyword, "shared");
    AddRow("a 1", PictureKind::Jpeg, 1);
    AddRow("b 2", PictureKind::Png, 2);
    AddRow("c 3", PictureKind::Jpeg, 1);

    RunToEnd();

    EXPECT_EQ(server.pictureRequests(), 2);
    for (int row = 0; row < 3; ++row) EXPECT_EQ(State(row), "OK") << row;
    EXPECT_EQ(ReadFile(Folder("shared") / "c 3.jpg"), server.expectedBody(server.pictureUrl(PictureKind::Jpeg, 1)));
    EXPECT_EQ(FolderEntries(Folder("shared")), (std::vector<std::string>{"a 1.jpg", "b 2.jpg", "c 3.jpg"}));
    auto history = window.history();
    for (int row = 1; row <= 3; ++row) EXPECT_EQ(std::count(history.begin(), history.end(), CompletionLine(row)), 1);
}

struct FailingBody {
    const char* name;
    PictureKind kind;
};

class NotAPicture : public DownloadTest, public ::testing::WithParamInterface<FailingBody> {};

TEST_P(NotAPicture, RowFailsAndNoFileIsWritten) {
    window.setText(ctl::kKeyword, "bad");
    AddRow("bad 1", GetParam().kind, 1);
    AddRow("good 2", PictureKind::Jpeg, 2);

    RunToEnd();

    EXPECT_EQ(State(0), Gbk("失败"));
    EXPECT_EQ(State(1), "OK");
    EXPECT_EQ(FolderEntries(Folder("bad")), std::vector<std::string>{"good 2.jpg"});
    auto history = window.history();
    EXPECT_EQ(std::count(history.begin(), history.end(), CompletionLine(1)), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Served, NotAPicture,
    ::testing::Values(FailingBody{"Html", PictureKind::Html}, FailingBody{"Truncated", PictureKind::Truncated},
                      FailingBody{"Missing404", PictureKind::Missing}, FailingBody{"Error500", PictureKind::Error},
                      FailingBody{"Reset", PictureKind::Reset}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, EmptyAddressFailsWithoutRequest) {
    window.setText(ctl::kKeyword, "blank");
    AddRow("blank 1", "", "");

    RunToEnd();

    EXPECT_EQ(State(0), Gbk("失败"));
    EXPECT_EQ(server.pictureRequests(), 0);
    EXPECT_EQ(window.logMessages(), std::vector<Text>{kFinalLine});
}

struct RefusedCase {
    const char* name;
    const char* keyword;  // as typed
    int rows;
    const char* message;
    std::string_view focus;  // empty: not moved
};

class Refused : public DownloadTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(Refused, ShowsMessageOnly) {
    const RefusedCase& c = GetParam();
    window.typeText(ctl::kKeyword, c.keyword);
    for (int i = 1; i <= c.rows; ++i) AddRow("r " + std::to_string(i), PictureKind::Jpeg, i);
    window.setProgressMaximum(ctl::kProgress, 7);
    window.setProgressPosition(ctl::kProgress, 3);

    RunToEnd();

    auto messages = window.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, Gbk(c.message));
    EXPECT_EQ(messages[0].caption, Gbk("信息："));
    EXPECT_EQ(window.focused(), std::string(c.focus));
    EXPECT_TRUE(window.isEnabled(ctl::kDownloadButton));
    EXPECT_TRUE(window.history().empty());
    EXPECT_EQ(window.progressMaximum(ctl::kProgress), 7);
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 3);
    EXPECT_EQ(FolderEntries(programFolder.path()), std::vector<std::string>{});
    EXPECT_EQ(server.pictureRequests(), 0);
}

// A keyword the box reads as "猫?" would name the folder: refused as the
// harvest refuses it. With nothing listed there is nothing to save, so the
// list is what is said.
INSTANTIATE_TEST_SUITE_P(
    Start, Refused,
    ::testing::Values(RefusedCase{"EmptyList", "cat", 0, "请先获取图片地址,然后再执行下载操作", ""},
                      RefusedCase{"EmptyListBeforeKeyword", "猫\U0001F600", 0, "请先获取图片地址,然后再执行下载操作", ""},
                      RefusedCase{"KeywordWithoutGbkForm", "猫\U0001F600", 2, "关键词中有无法使用的字符: U+1F600",
                                  ctl::kKeyword}),
    [](const auto& info) { return std::string(info.param.name); });

// The workers that did start take every row between them.
TEST_F(DownloadTest, RefusedWorkerThreadLeavesItsRowsToTheOthers) {
    window.setText(ctl::kKeyword, "refused");
    window.setText(ctl::kThreadCount, "2");
    for (int i = 1; i <= 4; ++i) AddRow("r " + std::to_string(i), PictureKind::Jpeg, i);
    state.allowThreadStart = [](int worker) { return worker != 1; };

    RunToEnd();

    for (int row = 0; row < 4; ++row) EXPECT_EQ(State(row), "OK") << row;
    EXPECT_EQ(server.pictureRequests(), 4);
    auto history = window.history();
    for (int row = 1; row <= 4; ++row) EXPECT_EQ(std::count(history.begin(), history.end(), CompletionLine(row)), 1);
    EXPECT_EQ(window.logMessages(), std::vector<Text>{kFinalLine});
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 4);
    EXPECT_TRUE(window.isEnabled(ctl::kDownloadButton));
}

TEST_F(DownloadTest, NoWorkerThreadReEnablesButton) {
    AddRow("c 1", PictureKind::Jpeg, 1);
    state.allowThreadStart = [](int) { return false; };

    RunToEnd();

    EXPECT_EQ(window.history().back(), Gbk("下载线程启动失败"));
    EXPECT_TRUE(window.isEnabled(ctl::kDownloadButton));
    EXPECT_EQ(server.pictureRequests(), 0);
    EXPECT_EQ(State(0), "");
}

TEST_F(DownloadTest, ProgressCountsOnlyThisRun) {
    // A harvest moving the shared bar meanwhile must not end the run early or
    // keep it from ending.
    window.setText(ctl::kThreadCount, "1");
    server.setPictureDelay(100ms);
    for (int i = 1; i <= 3; ++i) AddRow("h " + std::to_string(i), PictureKind::Jpeg, i);

    StartDownload(window, state, program);
    ASSERT_TRUE(window.waitFor([](FakeWindow& w) { return w.progressPosition(ctl::kProgress) == 1; }));
    window.setProgressMaximum(ctl::kProgress, 2);
    window.setProgressPosition(ctl::kProgress, 1);
    ASSERT_TRUE(state.threads.waitIdle(60s));

    auto history = window.history();
    EXPECT_EQ(std::count(history.begin(), history.end(), kFinalLine), 1);
    EXPECT_EQ(history.back(), kFinalLine);
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 3);
}

}  // namespace
}  // namespace lumigrab::testing
