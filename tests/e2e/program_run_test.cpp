// The real program, started as a person starts it, on a private X server,
// talking to the in-process stand-in service through https_proxy. Nothing in
// the program knows it is being tested: the test only clicks, types and looks
// at what arrives at the service and on disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"
#include "support/eventually.h"
#include "support/files.h"
#include "support/own_network.h"
#include "support/x_desktop.h"
#include "tools/standin/standin.h"

namespace lumigrab::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using standin::PageElement;
using standin::StandinServer;

// Where a person clicks: the middle of a control, in window coordinates.
// Each is its group box's origin plus the control's origin in the box.
struct Spot {
    int left, top, width, height;
    int x() const { return left + width / 2; }
    int y() const { return top + height / 2; }
};
constexpr Spot kPictureNameBox{8 + 72, 10 + 16, 248, 20};
constexpr Spot kKeywordBox{808 + 61, 12 + 49, 94, 20};
// Only the text part of the combo: its right end is the drop-down arrow.
constexpr Spot kDepthText{808 + 62, 12 + 18, 89 - 30, 20};
constexpr Spot kHarvestButton{808 + 64, 12 + 173, 89, 24};
// The text part of the thread count; its right end holds the up-down arrows.
constexpr Spot kThreadCountText{808 + 64, 280 + 24, 87 - 30, 20};
constexpr Spot kDownloadButton{808 + 9, 280 + 240, 75, 24};
constexpr Spot kNextButton{344 + 96, 11 + 9, 80, 24};

constexpr const char* kPictureName = "shot";
constexpr const char* kKeyword = "kitten";
constexpr int kDepth = 3;
constexpr int kLetters = 20;  // the letter count box's own default
constexpr std::chrono::milliseconds kWaitLimit = 60s;
// Each look through xdotool or at the disk is a process or a folder scan.
constexpr std::chrono::milliseconds kToolPoll = 100ms;
constexpr const char* kMessageCaption = "信息：";

std::map<std::string, Bytes> FolderContents(const fs::path& folder) {
    std::map<std::string, Bytes> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file()) files[entry.path().filename().string()] = ReadFile(entry.path());
    }
    return files;
}

// "http://127.0.0.1:PORT/thumb/..." -> "/thumb/...".
std::string PathOf(const std::string& address, const std::string& base) {
    return address.rfind(base, 0) == 0 ? address.substr(base.size()) : address;
}

class ProgramRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveTool("Xvfb")) GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps)";
        ASSERT_TRUE(HaveTool("xdotool")) << "xdotool is not installed (scripts/install-deps)";
        // Only one copy runs per network namespace: ours has its own, so a
        // copy open elsewhere cannot make ours end itself.
        if (!OwnNetworkProblem().empty()) GTEST_SKIP() << OwnNetworkProblem();
        ASSERT_FALSE(InstanceMarkerHeld());

        display_ = VirtualDisplay::Start(20s);
        ASSERT_TRUE(display_) << "Xvfb did not come up";
        hands_ = std::make_unique<Hands>(display_->name());

        standin::StandinOptions options;
        options.lifetime = 300s;
        server_ = std::make_unique<StandinServer>(options);

        folder_ = std::make_unique<TempFolder>("lumigrab-e2e");
        // The program writes its skin library and the keyword folders beside
        // itself, so it runs from a folder of its own.
        program_path_ = *folder_ / "lumigrab";
        fs::copy_file(LUMIGRAB_E2E_PROGRAM, program_path_);
        fs::permissions(program_path_, fs::perms::owner_all);
    }

    void TearDown() override {
        if (HasFailure() && hands_ && folder_) {
            const auto shot = *folder_ / "failure.png";
            if (hands_->screenshot(shot.string())) std::cerr << "screen at failure: " << shot << "\n";
        }
        program_.reset();
        if (server_) server_->stop();
        display_.reset();
        if (folder_ && HasFailure()) {
            folder_->keep();
            std::cerr << "run folder kept: " << folder_->path() << "\n";
        }
        folder_.reset();
    }

    void StartProgram() {
        Environment env = OnDisplay(display_->name());
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
            env = Without(std::move(env), name);
        }
        env = With(std::move(env), "https_proxy", server_->proxyUrl());
        env = With(std::move(env), "HTTPS_PROXY", server_->proxyUrl());
        env = With(std::move(env), "no_proxy", "127.0.0.1,localhost");
        env = With(std::move(env), "NO_PROXY", "127.0.0.1,localhost");
        program_ = std::make_unique<Child>(std::vector<std::string>{program_path_.string()}, env);
        ASSERT_GT(program_->pid(), 0);

        std::string window = WaitForWindow("Lumigrab");
        ASSERT_FALSE(window.empty()) << "no window; program ended with "
                                     << program_->waitExit(0ms).value_or(-1);
        auto geometry = hands_->geometry(window);
        ASSERT_TRUE(geometry);
        origin_ = *geometry;
    }

    // A visible window of the program with this exact title; empty when none
    // shows within the limit or the program ends first.
    std::string WaitForWindow(const std::string& title) {
        std::string window;
        // Generous: Qt can take long to start on a loaded machine.
        Eventually(
            [&] {
                auto found = hands_->windows(program_->pid(), title);
                if (!found.empty()) window = found.front();
                return !found.empty() || !program_->running();
            },
            kWaitLimit, kToolPoll);
        return window;
    }

    // Answers a message box of the program with its OK button's key.
    void DismissMessageBox(const std::string& box) {
        ASSERT_TRUE(hands_->focus(box));
        ASSERT_TRUE(hands_->key("Return"));
        ASSERT_TRUE(Eventually([&] { return hands_->windows(program_->pid(), kMessageCaption).empty(); },
                               kWaitLimit, kToolPoll))
            << "the message box stays open";
    }

    // Fills in the harvest settings and starts the harvest.
    void Harvest(const std::string& keyword, int depth) {
        ASSERT_NO_FATAL_FAILURE(TypeInto(kPictureNameBox, kPictureName));
        ASSERT_NO_FATAL_FAILURE(TypeInto(kKeywordBox, keyword));
        ASSERT_NO_FATAL_FAILURE(Click(kDepthText));
        // From "nothing selected", each Down selects the next entry: 1, 2, 3.
        for (int step = 0; step < depth; ++step) ASSERT_TRUE(hands_->key("Down"));
        ASSERT_NO_FATAL_FAILURE(Click(kHarvestButton));

        ASSERT_TRUE(Eventually([&] { return server_->pageRequests() >= depth; }, kWaitLimit))
            << "pages served: " << server_->pageRequests();
        // The last page is parsed after it has been served; give the list
        // time to fill before anything reads its rows.
        std::this_thread::sleep_for(3s);
        EXPECT_EQ(server_->pageRequests(), depth);
        for (int page = 0; page < depth; ++page) {
            EXPECT_EQ(server_->hitCount(StandinServer::FlipPathAndQuery(keyword, page * 20)), 1)
                << "page " << page;
        }
    }

    void CloseAndExpectCleanExit() {
        // A close by the desktop (SIGTERM) ends the program normally.
        program_->signal(SIGTERM);
        const auto exitCode = program_->waitExit(kWaitLimit);
        ASSERT_TRUE(exitCode.has_value()) << "still running after SIGTERM";
        EXPECT_EQ(*exitCode, 0);
    }

    void Click(const Spot& spot) {
        ASSERT_TRUE(hands_->click(origin_.x + spot.x(), origin_.y + spot.y()));
    }
    void TypeInto(const Spot& spot, const std::string& text) {
        Click(spot);
        ASSERT_TRUE(hands_->key("ctrl+a"));
        ASSERT_TRUE(hands_->type(text));
    }

    // The rows a depth-3 harvest makes, in list order: pages are fetched one
    // after another with the default thread count of 1, and every element
    // with an address becomes a row (overlapping pages repeat elements).
    std::vector<PageElement> ExpectedRows() const {
        std::vector<PageElement> rows;
        for (int page = 0; page < kDepth; ++page) {
            for (const auto& element : server_->listing(kKeyword, page * 20)) {
                if (element.objUrlForm == PageElement::ObjUrl::Present) rows.push_back(element);
            }
        }
        return rows;
    }

    std::unique_ptr<VirtualDisplay> display_;
    std::unique_ptr<Hands> hands_;
    std::unique_ptr<StandinServer> server_;
    std::unique_ptr<Child> program_;
    std::unique_ptr<TempFolder> folder_;
    fs::path program_path_;
    WindowGeometry origin_;
};

TEST_F(ProgramRun, HarvestDownloadPreviewAndClose) {
    ASSERT_NO_FATAL_FAILURE(StartProgram());
    const std::vector<PageElement> rows = ExpectedRows();
    ASSERT_FALSE(rows.empty());

    ASSERT_NO_FATAL_FAILURE(Harvest(kKeyword, kDepth));

    // Download with ten workers at once.
    ASSERT_NO_FATAL_FAILURE(TypeInto(kThreadCountText, "10"));
    ASSERT_NO_FATAL_FAILURE(Click(kDownloadButton));

    // Pages overlap, so some addresses are listed twice: each is fetched once.
    std::set<std::string> addresses;
    for (const PageElement& row : rows) addresses.insert(row.objURL);
    const int expectedFetches = static_cast<int>(addresses.size());
    ASSERT_TRUE(Eventually(
        [&] { return server_->hitsUnder("/pic/") >= expectedFetches && server_->currentPictures() == 0; },
        kWaitLimit))
        << "full-size fetches: " << server_->hitsUnder("/pic/") << " of " << expectedFetches;
    EXPECT_EQ(server_->hitsUnder("/pic/"), expectedFetches);
    EXPECT_EQ(server_->hitsUnder("/thumb/"), 0) << "the full-size radio box is ticked";

    // What the keyword folder must hold: one file per row whose picture is
    // whole, named by its save name, holding the body unchanged.
    std::map<int, Bytes> expectedByPosition;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (standin::IsWholePicture(rows[i].kind)) {
            expectedByPosition[static_cast<int>(i) + 1] = server_->expectedBody(rows[i].objURL);
        }
    }
    const fs::path keywordFolder = *folder_ / kKeyword;
    const std::regex saveName(std::string(kPictureName) + "([A-Za-z]{" + std::to_string(kLetters) +
                              "}) ([0-9]+)\\.jpg");
    auto byPosition = [&] {
        std::map<int, Bytes> found;
        for (auto& [name, bytes] : FolderContents(keywordFolder)) {
            std::smatch match;
            const int position = std::regex_match(name, match, saveName) ? std::stoi(match[2]) : -1;
            found[position] = std::move(bytes);
        }
        return found;
    };
    // Files appear while the last workers write them.
    Eventually([&] { return byPosition() == expectedByPosition; }, kWaitLimit, kToolPoll);

    const auto files = FolderContents(keywordFolder);
    EXPECT_EQ(files.size(), expectedByPosition.size());
    std::map<int, int> seen;
    for (const auto& [name, bytes] : files) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(name, match, saveName)) << "file name: " << name;
        // Letters alternate lower, upper, lower, ...
        const std::string letters = match[1];
        for (std::size_t i = 0; i < letters.size(); ++i) {
            const bool lower = std::islower(static_cast<unsigned char>(letters[i])) != 0;
            EXPECT_EQ(lower, i % 2 == 0) << name << " letter " << i + 1;
        }
        const int position = std::stoi(match[2]);
        ++seen[position];
        ASSERT_TRUE(position >= 1 && position <= static_cast<int>(rows.size())) << name;
        const PageElement& row = rows[static_cast<std::size_t>(position) - 1];
        EXPECT_TRUE(standin::IsWholePicture(row.kind))
            << name << " is a " << standin::KindPathName(row.kind) << ", which is no picture";
        EXPECT_TRUE(bytes == server_->expectedBody(row.objURL))
            << name << " differs from " << row.objURL << " (" << bytes.size() << " bytes)";
    }
    for (const auto& [position, body] : expectedByPosition) {
        EXPECT_EQ(seen[position], 1) << "no single file for row " << position << " ("
                                     << rows[static_cast<std::size_t>(position) - 1].objURL << ")";
    }

    // Preview: the first press shows the second row's thumbnail.
    ASSERT_NO_FATAL_FAILURE(Click(kNextButton));
    const std::string thumb = PathOf(rows[1].thumbURL, server_->baseUrl());
    EXPECT_TRUE(Eventually([&] { return server_->hitCount(thumb) >= 1; }, kWaitLimit))
        << "thumbnail requested: " << thumb << "; thumbnails served: "
        << server_->hitsUnder("/thumb/");

    ASSERT_NO_FATAL_FAILURE(CloseAndExpectCleanExit());
}

// A result page with an empty picture array: the harvest ends with no rows,
// so the download only says there is nothing to fetch and makes no folder,
// and stepping the preview has nothing to show.
TEST_F(ProgramRun, EmptyResultLeavesNothingToDownloadOrPreview) {
    ASSERT_NO_FATAL_FAILURE(StartProgram());
    const std::string keyword = "standin-emptyarray";
    ASSERT_NO_FATAL_FAILURE(Harvest(keyword, 1));

    ASSERT_NO_FATAL_FAILURE(Click(kDownloadButton));
    std::string box = WaitForWindow(kMessageCaption);
    ASSERT_FALSE(box.empty()) << "no message box for an empty list";
    ASSERT_NO_FATAL_FAILURE(DismissMessageBox(box));
    EXPECT_FALSE(fs::exists(*folder_ / keyword));

    ASSERT_NO_FATAL_FAILURE(Click(kNextButton));
    box = WaitForWindow(kMessageCaption);
    ASSERT_FALSE(box.empty()) << "no message box for an empty preview";
    ASSERT_NO_FATAL_FAILURE(DismissMessageBox(box));

    EXPECT_EQ(server_->pictureRequests(), 0);
    ASSERT_NO_FATAL_FAILURE(CloseAndExpectCleanExit());
}

}  // namespace
}  // namespace lumigrab::testing
