#pragma once
// When a request is worth asking again, and how long to wait first: a busy
// or briefly unreachable host is asked again after a pause that doubles each
// time, with a random spread so many clients do not come back together, and
// never sooner than the host itself asked (Retry-After), up to a bound.
#include <chrono>
#include <optional>
#include <random>

#include "net/http_request.h"

namespace lumigrab {

// The longest pause a Retry-After may impose.
inline constexpr std::chrono::seconds kMaxRetryAfter{60};

// 429 and 503 ask for patience; a connection that failed (reset, refused)
// may come back. A 403 is a refusal and is never asked again; a stall or a
// transfer too slow has already cost its time.
bool WorthRetrying(int status, HttpFailure failure);

// The seconds of a Retry-After line in a response header block ("120";
// a date form is not honoured), capped at kMaxRetryAfter.
std::optional<std::chrono::seconds> RetryAfterOf(const Text& headers);

// The pause before try number `tries` + 1: one second doubled for each try
// after the first, spread over 0.5x to 1.5x, and at least `retryAfter`.
std::chrono::milliseconds RetryPause(int tries, std::optional<std::chrono::seconds> retryAfter,
                                     std::mt19937& random);

}  // namespace lumigrab
