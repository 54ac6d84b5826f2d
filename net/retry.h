#pragma once
// When a request is worth asking again, and how long to wait first. A busy or
// briefly unreachable host is asked again after pauses that grow: each falls
// in a band twice as high as the one before (1-2 s, 2-4 s, …), spread at
// random within it so many clients do not come back together, never shorter
// than the pause before it, never sooner than the host asked (Retry-After)
// and never over a minute. A host that asks for more than a minute is not
// waited for at all, and a request is not asked again once its first try is
// two minutes old, so a host that is busy forever holds a worker that long
// and no longer.
#include <chrono>
#include <optional>
#include <random>
#include <string>

#include "net/http_request.h"

namespace lumigrab {

// The longest pause between two tries, and so the longest Retry-After obeyed.
inline constexpr std::chrono::seconds kMaxRetryPause{60};
// A Retry-After of this or more reads as this: the host asks for ever, in
// effect, and more digits would say nothing more.
inline constexpr std::chrono::seconds kLongestRetryAfter{1'000'000'000};

// 429 and 503 ask for patience; a connection that failed (reset, refused)
// may come back. A 403 is a refusal and is never asked again; a stall or a
// transfer too slow has already cost its time, and an address that is not
// http(s) will not become one.
bool WorthRetrying(int status, HttpFailure failure);

// What the Retry-After line of a response header block asks for, when its
// status asks for patience (429, 503): seconds, or an HTTP-date (any of its
// three forms) counted from the block's Date line, or from `now` without
// one; a date already past asks for nothing (0). nullopt for any other
// status, or without a line that reads as either.
std::optional<std::chrono::seconds> RetryAfterOf(
    int status, const Text& headers, std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// "asks to wait 3600 s" ("… 1000000000 s or more" at kLongestRetryAfter)
// when a host asked for more than kMaxRetryPause, which is why its request
// was not asked again; empty when it did not.
std::string RefusedWaitText(std::optional<std::chrono::seconds> asked);

struct RetryRules {
    int retries = 0;  // tries after the first; 0 asks once
    // The bottom of the first pause's band; each later band is twice as high.
    std::chrono::milliseconds firstPause{1000};
    std::chrono::milliseconds longestPause = kMaxRetryPause;
    // No try starts later than this after the first one began.
    std::chrono::milliseconds span{120000};
};

// The tries of one request. Clocks and chance come from the caller, so the
// pauses can be checked without sitting them out.
class RetrySchedule {
public:
    RetrySchedule(RetryRules rules, std::chrono::steady_clock::time_point firstTry);

    // After a try that gave `status` and `failure` (its host asking for
    // `retryAfter`): the pause before the next try, or nullopt when there is
    // to be none.
    std::optional<std::chrono::milliseconds> next(int status, HttpFailure failure,
                                                  std::optional<std::chrono::seconds> retryAfter,
                                                  std::chrono::steady_clock::time_point now, std::mt19937& random);
    // Tries made or promised so far: 1, and one more for each pause given.
    int tries() const { return tries_; }

private:
    RetryRules rules_;
    std::chrono::steady_clock::time_point deadline_;
    int tries_ = 1;
    std::chrono::milliseconds previous_{0};
};

}  // namespace lumigrab
