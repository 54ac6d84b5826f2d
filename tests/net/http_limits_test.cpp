// What HttpRequest bounds beyond a single exchange: connections kept between
// calls, the cancel flag, the low-speed limit and the process-wide budget for
// bodies in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "net/body_budget.h"
#include "net/http_request.h"
#include "net_test_support.h"
#include "support/eventually.h"
#include "support/loopback_server.h"

namespace lumigrab {
namespace {

using testing::LoopbackReply;
using testing::LoopbackRequest;
using testing::LoopbackServer;

class HttpLimitKnobs : public ::testing::Test {
protected:
    void TearDown() override {
        SetDefaultHttpTimeoutForTesting(std::chrono::milliseconds(0));
        SetHttpLowSpeedTimeForTesting(std::chrono::milliseconds(0));
        SetHttpBodyBudgetForTesting(0);
    }
};

TEST(HttpConnectionReuse, CallsWithoutRequestObjectShareAHandfulOfConnections) {
    LoopbackServer server([](const LoopbackRequest& request) { return Body(request.target); });
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 5; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const std::string path = "/" + std::to_string(t) + "/" + std::to_string(i);
                if (AsString(HttpRequest(server.url(path))) == path) ++good;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), 200);
    EXPECT_LE(server.connectionCount(), 10u);
}

TEST_F(HttpLimitKnobs, BodiesBeyondTheBudgetTakeTurnsAndAllArrive) {
    constexpr std::size_t kBody = std::size_t{2} << 20;
    SetHttpBodyBudgetForTesting(std::size_t{5} << 20);  // two bodies at a time
    // "/streamed" has no declared length, so it takes the budget as it grows.
    LoopbackServer server([](const LoopbackRequest& request) {
        LoopbackReply reply = Body(std::string(std::size_t{64} << 10, request.target[1]));
        reply.bodyRepeat = request.target == "/huge" ? 96 : 32;
        reply.contentLength = request.target != "/streamed";
        return reply;
    });
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const std::string path = t < 2 ? "/streamed" : "/declared";
            for (int i = 0; i < 2; ++i) {
                const Bytes body = HttpRequest(server.url(path));
                if (body.size() == kBody && body.front() == path[1]) ++good;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), 16);
    EXPECT_EQ(BodyBudgetInUse(), 0u);

    // More than the whole budget can never be had: refused, not waited for.
    HttpFailure failure = HttpFailure::None;
    HttpOptions options;
    options.failure = &failure;
    EXPECT_TRUE(HttpRequest(server.url("/huge"), options).empty());
    EXPECT_EQ(failure, HttpFailure::TooLarge);
}

// A declared length is only a claim: while a slow host trickles a body that
// claims the whole budget, a small body beside it gets the room it needs.
TEST_F(HttpLimitKnobs, SlowHostsDeclaredLengthDoesNotHoldUpASmallBody) {
    SetHttpBodyBudgetForTesting(std::size_t{1} << 20);
    LoopbackServer server([](const LoopbackRequest& request) {
        if (request.target != "/slow") return Body(std::string(200000, 'q'));
        LoopbackReply reply = Body(std::string(std::size_t{1} << 20, 's'));
        reply.trickle = std::chrono::milliseconds(50);
        return reply;
    });
    std::atomic<bool> stopSlow{false};
    std::thread slow([&] {
        HttpOptions options;
        options.cancel = &stopSlow;
        HttpRequest(server.url("/slow"), options);
    });
    ASSERT_TRUE(testing::Eventually([] { return BodyBudgetInUse() > 0; }, std::chrono::seconds(10)));
    auto quick = std::async(std::launch::async, [&] { return HttpRequest(server.url("/quick")); });
    const bool inTime = quick.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    stopSlow = true;
    slow.join();
    EXPECT_TRUE(inTime) << "the small body waited for the slow one";
    EXPECT_EQ(quick.get().size(), 200000u);
    EXPECT_EQ(BodyBudgetInUse(), 0u);
}

// A caller still working on a body keeps it counted until it lets go.
TEST_F(HttpLimitKnobs, HandedOverReservationKeepsTheBodyCounted) {
    LoopbackServer server([](const LoopbackRequest&) { return Body(std::string(100000, 'b')); });
    {
        BodyReservation kept;
        HttpOptions options;
        options.bodyReservation = &kept;
        EXPECT_EQ(HttpRequest(server.url("/"), options).size(), 100000u);
        EXPECT_GE(BodyBudgetInUse(), 100000u);
        EXPECT_EQ(kept.held(), BodyBudgetInUse());
    }
    EXPECT_EQ(BodyBudgetInUse(), 0u);
}

TEST_F(HttpLimitKnobs, TricklingHostFailsAsTooSlow) {
    // Four bytes a second never look like silence, but stay far below the
    // low-speed limit; the whole body would take over four minutes.
    SetDefaultHttpTimeoutForTesting(std::chrono::seconds(2));
    SetHttpLowSpeedTimeForTesting(std::chrono::seconds(2));
    LoopbackServer server([](const LoopbackRequest&) {
        LoopbackReply reply = Body(std::string(1000, 't'));
        reply.trickle = std::chrono::milliseconds(250);
        return reply;
    });
    const Attempt attempt = Try(server.url("/trickle"));
    EXPECT_TRUE(attempt.body.empty());
    EXPECT_EQ(attempt.failure, HttpFailure::TooSlow);
    EXPECT_EQ(attempt.status, 0);
    EXPECT_LT(attempt.took, std::chrono::seconds(10));
}

TEST(HttpRequestCancel, RaisedFlagEndsAStalledTransferAndItsConnection) {
    LoopbackServer server([](const LoopbackRequest& request) {
        LoopbackReply reply = Body(request.target);
        if (request.target == "/stall") reply.stallBeforeReply = std::chrono::seconds(30);
        return reply;
    });
    std::atomic<bool> cancel{false};
    HttpOptions options;
    options.cancel = &cancel;
    std::thread raiser([&cancel] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel = true;
    });
    const Attempt attempt = Try(server.url("/stall"), options);
    raiser.join();
    EXPECT_TRUE(attempt.body.empty());
    EXPECT_EQ(attempt.failure, HttpFailure::Cancelled);
    EXPECT_EQ(attempt.status, 0);
    EXPECT_LT(attempt.took, std::chrono::seconds(5));
    // Reusing the abandoned connection would queue this request behind the stall.
    EXPECT_EQ(AsString(HttpRequest(server.url("/next"))), "/next");
}

}  // namespace
}  // namespace lumigrab
