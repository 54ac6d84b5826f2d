#pragma once
// Shared set-up for the download tests: a stand-in picture host, a window that
// remembers every log line even after the log is emptied, and a program folder
// of its own per test.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "port/controls.h"
#include "platform/program_info.h"
#include "download/download.h"
#include "support/fake_window.h"
#include "support/files.h"
#include "text/encoding.h"
#include "tools/standin/standin.h"

namespace lumigrab::testing {

using namespace std::chrono_literals;
using standin::PictureKind;

// Stands for ClearLog in a log history.
inline const Text kLogCleared = "<log cleared>";

class RecordingWindow : public FakeWindow {
public:
    void appendText(std::string_view control, const Text& value) override {
        FakeWindow::appendText(control, value);
        if (control != ctl::kLog) return;
        Text line = value;
        if (line.size() >= 2 && line.ends_with("\r\n")) line.resize(line.size() - 2);
        if (line.size() >= 20) line = line.substr(20);  // the time stamp and its space
        std::lock_guard lock(historyMutex_);
        history_.push_back(line);
    }
    void setText(std::string_view control, const Text& value) override {
        FakeWindow::setText(control, value);
        if (control == ctl::kLog && value.empty()) {
            std::lock_guard lock(historyMutex_);
            history_.push_back(kLogCleared);
        }
    }
    // Every log message since the window was made, ClearLog as kLogCleared.
    std::vector<Text> history() {
        std::lock_guard lock(historyMutex_);
        return history_;
    }

private:
    std::mutex historyMutex_;
    std::vector<Text> history_;
};

inline std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline Text CompletionLine(int rowNumber) {
    return Gbk("已完成第") + std::to_string(rowNumber) + Gbk("张图片下载");
}

inline const Text kFinalLine = Gbk("下载图片已全部完成***************************************");
inline const Text kStartLine = Gbk("下载图片已启动");
inline const Text kFolderLine = Gbk("软件没发现原有目录已自动生成了目录************************");

class DownloadTest : public ::testing::Test {
protected:
    DownloadTest() {
        program = {programFolder.path(), "lumigrab", PortablePlaces(programFolder.path())};
    }

    void TearDown() override {
        // The threads use the window and the folder: they must be gone first.
        ASSERT_TRUE(state.threads.waitIdle(60s)) << "download threads still running";
    }

    // Appends a row with both addresses, as a harvest would have listed it.
    void AddRow(const Text& saveName, const std::string& fullUrl, const std::string& thumbUrl) {
        int row = window.rowCount(ctl::kResultList);
        window.insertRow(ctl::kResultList, row, saveName);
        window.setCell(ctl::kResultList, row, ctl::kColAddress, fullUrl);
        window.setCell(ctl::kResultList, row, ctl::kColThumbnail, thumbUrl);
    }
    void AddRow(const Text& saveName, PictureKind kind, int id) {
        AddRow(saveName, server.pictureUrl(kind, id), server.pictureUrl(kind, id, true));
    }

    // Starts a run and waits until every one of its threads has ended.
    void RunToEnd() {
        StartDownload(window, state, program);
        ASSERT_TRUE(state.threads.waitIdle(60s));
    }

    Text State(int row) { return window.cell(ctl::kResultList, row, ctl::kColState); }
    std::filesystem::path Folder(const Text& keyword) {
        return programFolder.path() / GbkToUtf8(keyword);
    }

    standin::StandinServer server;
    TempFolder programFolder{"lumigrab-dl"};
    ProgramInfo program;
    RecordingWindow window;
    DownloadState state;
};

}  // namespace lumigrab::testing
