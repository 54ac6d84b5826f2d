#pragma once
// A harvest against the in-process stand-in: the fixed https address reaches
// it through https_proxy, exactly as the program's own requests would.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "port/controls.h"
#include "harvest/harvest.h"
#include "support/eventually.h"
#include "support/fake_window.h"
#include "text/encoding.h"
#include "tools/standin/standin.h"

namespace lumigrab::testing {

using namespace std::chrono_literals;

// A window that lingers after each window step, leaving the window lock free
// meanwhile: row appends of pages that finish together then overlap, so any
// gap in the serialisation of whole pages shows.
class LingeringWindow : public FakeWindow {
public:
    std::atomic<int> lingerMicros{0};

    void runOnWindowThread(std::function<void()> work) override {
        FakeWindow::runOnWindowThread(std::move(work));
        if (const int us = lingerMicros.load()) std::this_thread::sleep_for(std::chrono::microseconds(us));
    }
};

inline standin::StandinOptions QuickStandin() {
    standin::StandinOptions options;
    options.stallTime = 1500ms;
    options.lifetime = 120000ms;
    return options;
}

class HarvestFixture : public ::testing::Test {
protected:
    explicit HarvestFixture(standin::StandinOptions options = QuickStandin())
        : server(std::move(options)) {}

    void SetUp() override {
        setenv("https_proxy", server.proxyUrl().c_str(), 1);
        setenv("HTTPS_PROXY", server.proxyUrl().c_str(), 1);
        unsetenv("no_proxy");
        unsetenv("NO_PROXY");
        window.setText(ctl::kKeyword, Gbk("猫"));
        window.selectEntry(ctl::kDepth, 0);
        window.setText(ctl::kPictureName, "cat");
        window.setText(ctl::kLetterCount, "3");
    }

    // Never leave a run behind: its threads use the window and the server.
    void TearDown() override { EXPECT_TRUE(WaitForEnd()); }

    bool WaitForEnd(int timeoutMs = 30000) {
        if (!window.waitFor([](FakeWindow& w) { return w.isEnabled(ctl::kHarvestButton); },
                            timeoutMs))
            return false;
        // The controller and every page worker are gone, so nothing still
        // uses the window or the server.
        return state.threads.waitIdle(10s);
    }

    // Starts a run and waits for its end.
    void Harvest() {
        EXPECT_TRUE(StartHarvest(window, state)) << "the list was emptied";
        ASSERT_TRUE(WaitForEnd());
    }

    std::vector<std::string> PagePaths() {
        std::vector<std::string> paths;
        for (const auto& r : server.requests())
            if (r.pathAndQuery.rfind("/search/flip", 0) == 0) paths.push_back(r.pathAndQuery);
        return paths;
    }

    // Pages asked for, of either endpoint, each once however often: a page
    // that stalled on a connection the front-page visit left open is asked
    // again, as an HTTP client does when a reused connection dies before any
    // answer, and a page without its array is asked again of the JSON endpoint.
    std::size_t DistinctPages() {
        std::set<long> pages;
        for (const auto& r : server.requests()) {
            const bool flip = r.pathAndQuery.starts_with("/search/flip");
            if (!flip && !r.pathAndQuery.starts_with("/search/acjson")) continue;
            const std::size_t pn = r.pathAndQuery.find("&pn=");
            if (pn == std::string::npos) continue;
            pages.insert(std::strtol(r.pathAndQuery.c_str() + pn + 4, nullptr, 10) / (flip ? 20 : 30));
        }
        return pages.size();
    }

    std::vector<Text> ClosingLines(int total) {
        return {Gbk("图片地址解析结束") + std::string(30, '*'),
                Gbk("当前图片地址总数量") + std::to_string(total)};
    }

    standin::StandinServer server;
    LingeringWindow window;
    HarvestState state;
};

}  // namespace lumigrab::testing
