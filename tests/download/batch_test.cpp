// The download batch under both front ends: what the window's tests do not
// reach through its buttons.
#include "download/batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "net/body_budget.h"
#include "support/eventually.h"
#include "support/files.h"
#include "support/loopback_server.h"
#include "tools/standin/standin.h"

namespace lumigrab::testing {
namespace {

using namespace std::chrono_literals;
using standin::PictureKind;

struct Outcomes {
    std::mutex mutex;
    std::vector<ItemResult> results;
};

// Runs `urls` to the end and hands back each item's result.
std::vector<ItemResult> RunBatch(const std::vector<std::string>& urls, BatchOptions options) {
    TempFolder folder("lumigrab-batch");
    std::vector<DownloadItem> items;
    for (std::size_t i = 0; i < urls.size(); ++i)
        items.push_back({urls[i], folder.path() / (std::to_string(i) + ".jpg")});
    auto outcomes = std::make_shared<Outcomes>();
    outcomes->results.resize(urls.size());
    auto batch = std::make_shared<DownloadBatch>(std::move(items), std::move(options),
                                                 [outcomes](std::size_t item, const ItemResult& result) {
                                                     std::lock_guard lock(outcomes->mutex);
                                                     outcomes->results[item] = result;
                                                 });
    WorkerGang gang;
    EXPECT_GT(batch->start(gang), 0);
    EXPECT_TRUE(gang.waitIdle(60s));
    return outcomes->results;
}

// A busy host is asked again, no sooner than it said; without retries its
// 429 is the picture's failure.
TEST(DownloadBatchTest, BusyHostIsAskedAgainAfterItsRetryAfter) {
    standin::StandinServer server;
    BatchOptions options;
    options.retry.retries = 2;
    const auto start = std::chrono::steady_clock::now();
    auto results = RunBatch({server.pictureUrl(PictureKind::Busy, 1)}, options);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(results[0].fetch.state, PictureFetch::State::Saved);
    EXPECT_EQ(results[0].fetch.tries, 2);

    results = RunBatch({server.pictureUrl(PictureKind::Busy, 2)}, BatchOptions{});
    EXPECT_EQ(results[0].fetch.status, 429);
    EXPECT_EQ(results[0].fetch.tries, 1);
}

// A host busy for ever is asked exactly as often as the retries allow; an
// address that is not http(s) is not asked at all, however many are allowed.
TEST(DownloadBatchTest, BusyForEverAskedRetriesPlusOneTimesNonHttpNever) {
    LoopbackServer server([](const LoopbackRequest&) {
        LoopbackReply reply;
        reply.status = 503;
        reply.reason = "Service Unavailable";
        return reply;
    });
    for (const int retries : {0, 1, 3}) {
        BatchOptions options;
        options.retry = RetryRules{retries, 5ms};
        const std::size_t before = server.requestCount();
        const auto results = RunBatch({server.url("/p.jpg"), "gopher://127.0.0.1/1", "pics/a.jpg"}, options);
        EXPECT_EQ(results[0].fetch.status, 503);
        EXPECT_EQ(results[0].fetch.tries, retries + 1);
        EXPECT_EQ(server.requestCount() - before, static_cast<std::size_t>(retries + 1));
        for (std::size_t i : {1u, 2u}) {
            EXPECT_EQ(results[i].fetch.failure, HttpFailure::NotHttp) << i;
            EXPECT_EQ(results[i].fetch.tries, 1) << i;
        }
    }
}

// A body that has arrived is still in memory while its rows are told and
// its copies saved: the budget must count it until then, or it bounds only
// the bodies still on their way.
TEST(DownloadBatchTest, BodyStaysInTheBudgetUntilItsWorkerLetsItGo) {
    standin::StandinServer server;
    TempFolder folder("lumigrab-batch");
    std::vector<DownloadItem> items{{server.pictureUrl(PictureKind::Jpeg, 1), folder / "a.jpg"}};
    std::size_t bytes = 0, inUse = 0;
    BatchOptions options;
    options.workers = 1;
    auto batch = std::make_shared<DownloadBatch>(std::move(items), options,
                                                 [&](std::size_t, const ItemResult& result) {
                                                     bytes = result.fetch.bytes;
                                                     inUse = BodyBudgetInUse();
                                                 });
    WorkerGang gang;
    ASSERT_EQ(batch->start(gang), 1);
    ASSERT_TRUE(gang.waitIdle(60s));
    EXPECT_GT(bytes, 0u);
    EXPECT_GE(inUse, bytes);
    EXPECT_EQ(BodyBudgetInUse(), 0u);
}

TEST(DownloadBatchTest, PerHostLimitHoldsWhateverTheWorkers) {
    standin::StandinServer server;
    BatchOptions options;
    options.workers = 4;
    options.perHost = 1;
    std::vector<std::string> urls;
    for (int i = 1; i <= 4; ++i) urls.push_back(server.pictureUrl(PictureKind::Slow, i) + "?ms=150");
    const auto results = RunBatch(urls, options);
    for (const ItemResult& result : results) EXPECT_EQ(result.fetch.state, PictureFetch::State::Saved);
    EXPECT_EQ(server.maxConcurrentPictures(), 1);
}

// Items appended while the batch runs are fetched, and the batch ends only
// once closed. An address whose fetch ended before its second item came is
// not asked again: the picture is read back from its file, unless that file
// changed meanwhile; an address that failed stays failed.
TEST(DownloadBatchTest, AppendedItemsRunAndALateRepeatTakesTheEarlierOutcome) {
    standin::StandinServer server;
    TempFolder folder("lumigrab-batch");
    const std::string picture = server.pictureUrl(PictureKind::Png, 1), missing = server.pictureUrl(PictureKind::Missing, 2),
                      other = server.pictureUrl(PictureKind::Jpeg, 3);
    auto outcomes = std::make_shared<Outcomes>();
    outcomes->results.resize(8);
    BatchOptions options;
    options.workers = 2;
    options.appendable = true;
    auto batch = std::make_shared<DownloadBatch>(std::vector<DownloadItem>{}, options,
                                                 [outcomes](std::size_t item, const ItemResult& result) {
                                                     std::lock_guard lock(outcomes->mutex);
                                                     outcomes->results[item] = result;
                                                 });
    WorkerGang gang;
    ASSERT_EQ(batch->start(gang), 2);
    const auto path = [&](int i) { return folder / (std::to_string(i) + ".jpg"); };
    const auto settled = [&](std::size_t count) {
        return [&, count] {
            std::lock_guard lock(outcomes->mutex);
            return std::count_if(outcomes->results.begin(), outcomes->results.end(),
                                 [](const ItemResult& r) { return r.path != nullptr; }) == static_cast<long>(count);
        };
    };
    batch->append({{picture, path(0)}, {missing, path(1)}});
    ASSERT_TRUE(testing::Eventually(settled(2), 30s));
    EXPECT_FALSE(gang.waitIdle(200ms)) << "ended before it was closed";
    batch->append({{picture, path(2)}, {missing, path(3)}, {other, path(4)}});
    ASSERT_TRUE(testing::Eventually(settled(5), 30s));
    // The copy's file replaced once its job is over (a moment after its
    // report): the next repeat, taking over from it, asks again.
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(WriteFile(path(2), std::vector<std::uint8_t>{'n', 'o'}));
    batch->append({{picture, path(5)}});
    batch->close();
    ASSERT_TRUE(gang.waitIdle(30s));

    const auto& r = outcomes->results;
    for (int i : {0, 2, 4, 5}) EXPECT_EQ(r[i].fetch.state, PictureFetch::State::Saved) << i;
    EXPECT_EQ(r[3].fetch.status, 404);
    EXPECT_EQ(ReadFile(path(4)).size(), r[4].fetch.bytes);
    EXPECT_EQ(ReadFile(path(5)), ReadFile(path(0)));
    EXPECT_EQ(server.pictureRequests(), 4);  // each address once, the replaced picture again
}

// With a bound, exactly that many pictures are written however many
// workers run and whatever fails; copies count too. Items not begun once
// it is met are not reported.
TEST(DownloadBatchTest, SavesExactlyTheBoundAndReportsNothingPastIt) {
    standin::StandinServer server;
    const std::string bad = server.pictureUrl(PictureKind::Html, 1), twice = server.pictureUrl(PictureKind::Slow, 2) + "?ms=100";
    std::vector<std::string> urls{bad, twice, twice, server.pictureUrl(PictureKind::Missing, 3)};
    for (int i = 4; i < 12; ++i) urls.push_back(server.pictureUrl(PictureKind::Slow, i) + "?ms=100");
    for (const std::size_t bound : {1u, 2u, 5u, 20u}) {
        BatchOptions options;
        options.workers = 4;
        options.saveAtMost = bound;
        const auto results = RunBatch(urls, options);
        std::size_t saved = 0;
        for (const ItemResult& result : results) saved += result.fetch.state == PictureFetch::State::Saved;
        EXPECT_EQ(saved, std::min<std::size_t>(bound, 10)) << bound;
        for (std::size_t i = 0; i < results.size(); ++i)
            EXPECT_TRUE(results[i].path != nullptr || saved >= bound) << bound << " left out " << i;
    }
}

}  // namespace
}  // namespace lumigrab::testing
