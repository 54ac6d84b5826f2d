// How many pages run at once, and what ends a run.
#include "harvest_fixture.h"
#include "harvest/session.h"
#include "support/loopback_server.h"

namespace lumigrab::testing {
namespace {

struct LimitCase {
    const char* name;
    const char* threads;
    int pages;
    int wave;  // pages fetched at once
};

class ConcurrencyLimitTest : public HarvestFixture,
                             public ::testing::WithParamInterface<LimitCase> {};

// Stalled pages hold their slot for the stand-in's stall time, so the page
// requests it has seen shortly after the first wave arrived is the limit.
TEST_P(ConcurrencyLimitTest, FirstWaveIsTheLimit) {
    const LimitCase& c = GetParam();
    window.setText(ctl::kKeyword, "standin-stall");
    window.setText(ctl::kDepth, std::to_string(c.pages));
    window.setText(ctl::kThreadCount, Gbk(c.threads));
    StartHarvest(window, state);

    Eventually([&] { return server.pageRequests() >= c.wave; }, 5s, 5ms);
    ASSERT_EQ(server.pageRequests(), c.wave);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server.pageRequests(), c.wave) << "more pages started than allowed";
    EXPECT_FALSE(window.isEnabled(ctl::kHarvestButton));

    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(DistinctPages(), static_cast<std::size_t>(c.pages));
    EXPECT_EQ(window.logMessages(), ClosingLines(0));
}

INSTANTIATE_TEST_SUITE_P(
    Threads, ConcurrencyLimitTest,
    ::testing::Values(LimitCase{"OneAtATime", "1", 2, 1}, LimitCase{"Two", "2", 3, 2},
                      LimitCase{"ZeroMeansFive", "0", 6, 5},
                      LimitCase{"EmptyMeansFive", "", 6, 5},
                      LimitCase{"NegativeMeansFive", "-3", 6, 5},
                      LimitCase{"FullWidthDigit", "３", 4, 3},
                      LimitCase{"MoreThanPages", "9", 3, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// A finished page frees its slot at once; a controller that only looked
// again after a pause would take ten seconds over these pages.
TEST_F(HarvestFixture, NextPageStartsAsSoonAsOneFinishes) {
    window.setText(ctl::kDepth, "20");
    window.setText(ctl::kThreadCount, "1");

    const auto start = std::chrono::steady_clock::now();
    Harvest();

    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    EXPECT_EQ(server.pageRequests(), 20);
}

// A download sets the shared bar for itself while pages are still running.
TEST_F(HarvestFixture, DownloadTakingTheBarDoesNotHoldTheRun) {
    window.setText(ctl::kKeyword, "standin-stall");
    window.setText(ctl::kDepth, "2");
    window.setText(ctl::kThreadCount, "2");
    StartHarvest(window, state);
    ASSERT_TRUE(window.waitFor([&](FakeWindow&) { return server.pageRequests() >= 2; }, 5000));
    window.setProgressMaximum(ctl::kProgress, 100);
    window.setProgressPosition(ctl::kProgress, 0);

    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(window.logMessages(), ClosingLines(0));
    EXPECT_EQ(window.progressPosition(ctl::kProgress), 2);
}

TEST_F(HarvestFixture, DownloadTakingTheBarDoesNotEndTheRunEarly) {
    window.setText(ctl::kKeyword, "standin-stall");
    window.setText(ctl::kDepth, "2");
    window.setText(ctl::kThreadCount, "1");
    StartHarvest(window, state);
    ASSERT_TRUE(window.waitFor([&](FakeWindow&) { return server.pageRequests() >= 1; }, 5000));
    // One step from the bar's end while the first of two pages is running.
    window.setProgressMaximum(ctl::kProgress, 1);
    window.setProgressPosition(ctl::kProgress, 0);

    ASSERT_TRUE(window.waitFor([&](FakeWindow&) { return server.pageRequests() >= 2; }, 5000));
    EXPECT_FALSE(window.isEnabled(ctl::kHarvestButton)) << "run ended with a page left";
    EXPECT_NE(window.logMessages(), ClosingLines(0));

    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(window.logMessages(), ClosingLines(0));
}

// Pages in order, unfetched ones included, and the end once.
struct RecordingSink : HarvestSink {
    std::vector<std::pair<std::int32_t, bool>> pages;  // index, fetched
    std::vector<std::string> stopped;                  // why each went no further
    int finishedCalls = 0;
    std::int32_t askUntil = INT32_MAX;  // the first page not wanted
    bool askPage(std::int32_t index) override { return index < askUntil; }
    void pageRead(HarvestedPage page) override {
        pages.emplace_back(page.index, page.fetched);
        stopped.push_back(page.answer.stopped);
    }
    void finished() override { ++finishedCalls; }
};

// With no worker to be had, no page can be read, but the run must still end.
TEST(HarvestSessionTest, NoWorkerStillHandsOverEveryPageAndEnds) {
    WorkerGang gang;
    std::atomic<bool> release{false};
    ASSERT_EQ(gang.startIfFree(1, [&release] { while (!release) std::this_thread::sleep_for(1ms); }),
              WorkerGang::Start::Started);
    HarvestSettings settings;
    settings.pages = 3;
    settings.workers = 1;  // the one slot is taken
    auto sink = std::make_shared<RecordingSink>();
    auto session = std::make_shared<HarvestSession>(settings, sink);

    EXPECT_EQ(session->start(gang), 0);
    release = true;
    ASSERT_TRUE(gang.waitIdle(10s));

    EXPECT_EQ(sink->pages, (std::vector<std::pair<std::int32_t, bool>>{{0, false}, {1, false}, {2, false}}));
    EXPECT_EQ(sink->finishedCalls, 1);
}

// A page the sink does not want is not asked for, nor any after it; those
// under way are still handed over, and the end comes once, whether the last
// page was in before the sink said no or after.
TEST(HarvestSessionTest, PagesEndWhereTheSinkWantsNoMore) {
    LoopbackServer service([](const LoopbackRequest&) { return LoopbackReply{}; });
    for (const auto& [workers, askUntil] : {std::pair{1, 2}, std::pair{3, 4}, std::pair{3, 0}, std::pair{2, 9}}) {
        HarvestSettings settings;
        settings.serviceOrigin = service.url("");
        settings.source = ResultSource::Page;
        settings.visitFrontPage = false;
        settings.pages = 6;
        settings.workers = workers;
        auto sink = std::make_shared<RecordingSink>();
        sink->askUntil = askUntil;
        auto session = std::make_shared<HarvestSession>(settings, sink);
        WorkerGang gang;
        const std::size_t before = service.requestCount();
        ASSERT_EQ(session->start(gang), workers);
        ASSERT_TRUE(gang.waitIdle(10s));

        const int asked = std::min(askUntil, settings.pages);
        EXPECT_EQ(service.requestCount() - before, static_cast<std::size_t>(asked)) << workers << " " << askUntil;
        ASSERT_EQ(sink->pages.size(), static_cast<std::size_t>(asked)) << workers << " " << askUntil;
        for (int i = 0; i < asked; ++i) EXPECT_EQ(sink->pages[i], std::pair(i, true));
        EXPECT_EQ(sink->finishedCalls, 1) << workers << " " << askUntil;
    }
}

// Result requests keep their distance whichever worker makes them: each is
// given the slot after the one before, not a wait counted from the moment it
// asks. Time stands still here, so each pause is exactly its slot's distance
// from the first.
TEST(HarvestSessionTest, WaitSpacesTheRequestsOfEveryWorker) {
    LoopbackServer service([](const LoopbackRequest&) { return LoopbackReply{}; });
    HarvestSettings settings;
    settings.serviceOrigin = service.url("");
    settings.source = ResultSource::Page;
    settings.visitFrontPage = false;
    settings.pages = 6;
    settings.workers = 3;
    settings.wait = 1000ms;
    const auto frozen = std::chrono::steady_clock::now();
    std::mutex lock;
    std::vector<std::chrono::milliseconds> slots{0ms};  // the first goes at once
    settings.now = [frozen] { return frozen; };
    settings.pause = [&](std::chrono::milliseconds pause) {
        std::lock_guard guard(lock);
        slots.push_back(pause);
        return true;
    };
    WorkerGang gang;
    auto session = std::make_shared<HarvestSession>(settings, std::make_shared<RecordingSink>());

    ASSERT_EQ(session->start(gang), 3);
    ASSERT_TRUE(gang.waitIdle(10s));

    EXPECT_EQ(service.requestCount(), 6u);
    ASSERT_EQ(slots.size(), 6u);
    std::sort(slots.begin(), slots.end());
    for (std::size_t i = 1; i < slots.size(); ++i) {
        EXPECT_GE(slots[i] - slots[i - 1], 500ms) << i;
        EXPECT_LE(slots[i] - slots[i - 1], 1500ms) << i;
    }
}

// A search that follows another in one run goes on with its session: no
// front-page visit of its own, that visit's cookies, and its first request
// in the pacing slot after the last one before it.
TEST(HarvestSessionTest, ASessionGoesOnWithTheOneBeforeIt) {
    std::mutex lock;
    std::vector<std::string> asked;  // each request's target, a space and its cookies
    LoopbackServer service([&](const LoopbackRequest& request) {
        std::lock_guard guard(lock);
        asked.push_back(request.target + " " + request.header("Cookie").value_or(""));
        LoopbackReply reply;
        if (request.target == "/") reply.headers = {"Set-Cookie: BAIDUID=abc; Path=/"};
        return reply;
    });
    HarvestSettings settings;
    settings.serviceOrigin = service.url("");
    settings.source = ResultSource::Page;
    settings.wait = 1000ms;
    const auto frozen = std::chrono::steady_clock::now();
    std::vector<std::chrono::milliseconds> pauses;
    settings.now = [frozen] { return frozen; };
    settings.pause = [&](std::chrono::milliseconds pause) {
        pauses.push_back(pause);
        return true;
    };
    WorkerGang gang;
    auto first = std::make_shared<HarvestSession>(settings, std::make_shared<RecordingSink>());
    ASSERT_EQ(first->start(gang), 1);
    ASSERT_TRUE(gang.waitIdle(10s));
    EXPECT_TRUE(first->visited());
    settings.frontPageCookies = first->cookies();
    settings.firstRequestAt = first->nextRequestAt();
    auto second = std::make_shared<HarvestSession>(settings, std::make_shared<RecordingSink>());
    ASSERT_EQ(second->start(gang), 1);
    ASSERT_TRUE(gang.waitIdle(10s));

    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[0], "/ ");
    for (std::size_t i = 1; i < asked.size(); ++i)
        EXPECT_TRUE(asked[i].starts_with("/search/") && asked[i].ends_with(" BAIDUID=abc")) << asked[i];
    ASSERT_EQ(pauses.size(), 1u);
    EXPECT_GE(pauses[0], 500ms);
    EXPECT_LE(pauses[0], 1500ms);
}

// A busy service is asked again after a pause; once it asks for more than a
// minute it is not waited for, however many retries are left, and what it
// asked goes with the page.
TEST(HarvestSessionTest, PageAskedAgainUntilItsHostAsksToWaitOverAMinute) {
    std::atomic<int> asked{0};
    LoopbackServer service([&asked](const LoopbackRequest&) {
        LoopbackReply reply;
        reply.status = 503;
        reply.reason = "Service Unavailable";
        if (++asked > 1) reply.headers = {"Retry-After: 3600"};
        return reply;
    });
    HarvestSettings settings;
    settings.serviceOrigin = service.url("");
    settings.visitFrontPage = false;
    settings.source = ResultSource::Page;
    settings.retries = 2;
    auto sink = std::make_shared<RecordingSink>();
    auto session = std::make_shared<HarvestSession>(settings, sink);
    WorkerGang gang;
    ASSERT_EQ(session->start(gang), 1);
    ASSERT_TRUE(gang.waitIdle(10s));

    EXPECT_EQ(sink->stopped, std::vector<std::string>{"asks to wait 3600 s"});
    EXPECT_EQ(service.requestCount(), 2u);
}

}  // namespace
}  // namespace lumigrab::testing
