// What HttpRequest bounds beyond a single exchange: connections kept between
// calls, the cancel flag, the low-speed limit, the process-wide budget for
// bodies in flight, and when and how soon a busy host is asked again.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "net/body_budget.h"
#include "net/http_request.h"
#include "net/redirects.h"
#include "net/retry.h"
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

TEST(WorthRetrying, BusyAndLostConnectionsOnly) {
    struct Case {
        int status;
        HttpFailure failure;
        bool worth;
    };
    const Case cases[] = {
        {429, HttpFailure::None, true},          {503, HttpFailure::None, true},
        {403, HttpFailure::None, false},         {500, HttpFailure::None, false},
        {200, HttpFailure::None, false},         {0, HttpFailure::Other, true},
        {0, HttpFailure::Stalled, false},        {0, HttpFailure::TooSlow, false},
        {0, HttpFailure::Cancelled, false},      {0, HttpFailure::TooLarge, false},
        {0, HttpFailure::RedirectRefused, false}, {0, HttpFailure::TooManyRedirects, false},
        {0, HttpFailure::NotHttp, false},        {0, HttpFailure::None, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WorthRetrying(c.status, c.failure), c.worth)
            << c.status << " " << FailureText(c.failure);
    }
}

struct RetryAfterCase {
    const char* name;
    Text headers;
    std::optional<long long> seconds;
    int status = 503;
};
void PrintTo(const RetryAfterCase& c, std::ostream* out) { *out << c.name; }

class RetryAfterTest : public ::testing::TestWithParam<RetryAfterCase> {};

TEST_P(RetryAfterTest, SecondsOrDateFromTheAnswer) {
    // Sun, 06 Nov 1994 08:49:37 GMT
    const auto now = std::chrono::system_clock::from_time_t(784111777);
    const std::optional<std::chrono::seconds> asked = RetryAfterOf(GetParam().status, GetParam().headers, now);
    const std::optional<long long> seconds = asked ? std::optional(asked->count()) : std::nullopt;
    EXPECT_EQ(seconds, GetParam().seconds);
}

constexpr long long kLongest = kLongestRetryAfter.count();

INSTANTIATE_TEST_SUITE_P(
    Values, RetryAfterTest,
    ::testing::Values(
        RetryAfterCase{"Seconds", "Content-Type: x\r\nRetry-After: 120\r\n", 120},
        RetryAfterCase{"TooManyRequests", "Retry-After: 120", 120, 429},
        RetryAfterCase{"NotFromAnAnswerThatIsNotBusy", "Retry-After: 120", std::nullopt, 200},
        RetryAfterCase{"NotFromARefusal", "Retry-After: 120", std::nullopt, 403},
        RetryAfterCase{"AnyCaseAndSpaces", "retry-after:   7  \r\n", 7},
        RetryAfterCase{"Zero", "Retry-After: 0", 0},
        RetryAfterCase{"LeadingZeros", "Retry-After: 00000000000000000000000090", 90},
        RetryAfterCase{"NineDigits", "Retry-After: 999999999", 999999999},
        RetryAfterCase{"TenDigits", "Retry-After: 1000000000", kLongest},
        RetryAfterCase{"TwentySixDigits", "Retry-After: 12345678901234567890123456", kLongest},
        RetryAfterCase{"Negative", "Retry-After: -5", std::nullopt},
        RetryAfterCase{"Fraction", "Retry-After: 1.5", std::nullopt},
        RetryAfterCase{"Words", "Retry-After: soon", std::nullopt},
        RetryAfterCase{"Empty", "Retry-After: ", std::nullopt},
        RetryAfterCase{"Absent", "Content-Type: x\r\n", std::nullopt},
        RetryAfterCase{"ImfDate", "Retry-After: Sun, 06 Nov 1994 09:49:37 GMT", 3600},
        RetryAfterCase{"Rfc850Date", "Retry-After: Sunday, 06-Nov-94 08:50:37 GMT", 60},
        RetryAfterCase{"AsctimeDate", "Retry-After: Sun Nov  6 08:49:47 1994", 10},
        RetryAfterCase{"DatePast", "Retry-After: Sat, 05 Nov 1994 08:49:37 GMT", 0},
        RetryAfterCase{"DateFarAhead", "Retry-After: Fri, 31 Dec 9999 23:59:59 GMT", kLongest},
        RetryAfterCase{"CountedFromTheHostsClock",
                       "Date: Sun, 06 Nov 1994 09:49:37 GMT\r\nRetry-After: Sun, 06 Nov 1994 09:50:37 GMT", 60},
        RetryAfterCase{"UnreadableHostClock",
                       "Date: yesterday\r\nRetry-After: Sun, 06 Nov 1994 08:50:37 GMT", 60}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RefusedWaitText, SaysWhatTheHostAskedForPastAMinute) {
    EXPECT_EQ(RefusedWaitText(std::nullopt), "");
    EXPECT_EQ(RefusedWaitText(kMaxRetryPause), "");
    EXPECT_EQ(RefusedWaitText(std::chrono::seconds(61)), "asks to wait 61 s");
    EXPECT_EQ(RefusedWaitText(std::chrono::seconds(3600)), "asks to wait 3600 s");
    EXPECT_EQ(RefusedWaitText(std::chrono::seconds(kLongest - 1)), "asks to wait 999999999 s");
    EXPECT_EQ(RefusedWaitText(kLongestRetryAfter), "asks to wait 1000000000 s or more");
}

using std::chrono::milliseconds;
using std::chrono::seconds;

// Each pause within its doubling band, never shorter than the one before,
// never over a minute; as many as the retries allow, then none.
TEST(RetrySchedule, PausesGrowWithinDoublingBandsUpToAMinute) {
    for (unsigned seed = 0; seed < 300; ++seed) {
        std::mt19937 random(seed);
        auto now = std::chrono::steady_clock::time_point{};
        RetrySchedule schedule(RetryRules{10, milliseconds(1000), kMaxRetryPause, std::chrono::hours(1)}, now);
        milliseconds previous{0};
        for (int n = 1; n <= 10; ++n) {
            const auto pause = schedule.next(503, HttpFailure::None, std::nullopt, now, random);
            ASSERT_TRUE(pause) << "seed " << seed << " pause " << n;
            const milliseconds low = std::min<milliseconds>(milliseconds(1000LL << (n - 1)), kMaxRetryPause);
            EXPECT_GE(*pause, low) << "seed " << seed << " pause " << n;
            EXPECT_LE(*pause, std::min<milliseconds>(2 * low, kMaxRetryPause)) << "seed " << seed << " pause " << n;
            EXPECT_GE(*pause, previous) << "seed " << seed << " pause " << n;
            previous = *pause;
            now += *pause;
        }
        EXPECT_FALSE(schedule.next(503, HttpFailure::None, std::nullopt, now, random));
        EXPECT_EQ(schedule.tries(), 11);
    }
}

TEST(RetrySchedule, RetriesAndWhatIsWorthIt) {
    std::mt19937 random(1);
    const auto now = std::chrono::steady_clock::time_point{};
    for (const int retries : {0, 1, 2}) {
        RetrySchedule schedule(RetryRules{retries}, now);
        for (int n = 0; n < retries; ++n) EXPECT_TRUE(schedule.next(0, HttpFailure::Other, std::nullopt, now, random));
        EXPECT_FALSE(schedule.next(0, HttpFailure::Other, std::nullopt, now, random));
        EXPECT_EQ(schedule.tries(), retries + 1);
    }
    RetrySchedule refused(RetryRules{2}, now);
    EXPECT_FALSE(refused.next(403, HttpFailure::None, std::nullopt, now, random));
    EXPECT_EQ(refused.tries(), 1);
}

// At least what the host asks, up to a minute, and never shorter afterwards;
// beyond a minute it is not waited for at all.
TEST(RetrySchedule, RetryAfterRaisesEveryLaterPauseUpToAMinute) {
    std::mt19937 random(7);
    auto now = std::chrono::steady_clock::time_point{};
    RetrySchedule schedule(RetryRules{10, milliseconds(1000), kMaxRetryPause, std::chrono::hours(1)}, now);
    EXPECT_EQ(schedule.next(429, HttpFailure::None, seconds(30), now, random), milliseconds(30000));
    EXPECT_EQ(schedule.next(429, HttpFailure::None, std::nullopt, now, random), milliseconds(30000));
    EXPECT_EQ(schedule.next(503, HttpFailure::None, seconds(60), now, random), milliseconds(60000));
    EXPECT_FALSE(schedule.next(503, HttpFailure::None, seconds(61), now, random));

    RetrySchedule asksLong(RetryRules{2}, now);
    EXPECT_FALSE(asksLong.next(503, HttpFailure::None, kLongestRetryAfter, now, random));
    EXPECT_EQ(asksLong.tries(), 1);
}

// No try starts later than the span after the first: a host busy for ever
// holds a worker two minutes at most, whatever the retries.
TEST(RetrySchedule, NoTryBeyondTheSpan) {
    std::mt19937 random(3);
    const auto start = std::chrono::steady_clock::time_point{};
    const RetryRules rules{5, milliseconds(1), kMaxRetryPause, seconds(10)};
    RetrySchedule atTheEdge(rules, start);
    EXPECT_EQ(atTheEdge.next(503, HttpFailure::None, seconds(10), start, random), milliseconds(10000));
    EXPECT_FALSE(atTheEdge.next(503, HttpFailure::None, std::nullopt, start + seconds(10), random));
    RetrySchedule pastIt(rules, start);
    EXPECT_FALSE(pastIt.next(503, HttpFailure::None, seconds(10), start + milliseconds(1), random));

    for (unsigned seed = 0; seed < 50; ++seed) {
        random.seed(seed);
        auto now = start;
        RetrySchedule schedule(RetryRules{10}, start);
        while (const auto pause = schedule.next(503, HttpFailure::None, std::nullopt, now, random)) now += *pause;
        EXPECT_LE(now - start, std::chrono::minutes(2)) << seed;
        EXPECT_LT(schedule.tries(), 11) << seed;
    }
}

}  // namespace
}  // namespace lumigrab
