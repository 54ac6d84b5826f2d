#include "net/retry.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>

#include "net/http_headers.h"
#include "text/text.h"

namespace lumigrab {
namespace {

// An HTTP-date (or any date libcurl reads) in seconds since 1970; nullopt
// when the text is none. Every form of HTTP-date names its day and month in
// letters, which keeps numbers and signs, that libcurl might take for a date
// too, out. Seconds rather than a clock's time point: a date thousands of
// years ahead is still a date, and no clock's nanoseconds reach it.
std::optional<time_t> DateOf(const Text& text) {
    if (std::none_of(text.begin(), text.end(), [](char c) { return AsciiLower(c) >= 'a' && AsciiLower(c) <= 'z'; }))
        return std::nullopt;
    const time_t when = curl_getdate(text.c_str(), nullptr);
    if (when == -1) return std::nullopt;
    return when;
}

}  // namespace

bool WorthRetrying(int status, HttpFailure failure) {
    if (status == 429 || status == 503) return true;
    return status == 0 && failure == HttpFailure::Other;
}

std::optional<std::chrono::seconds> RetryAfterOf(int status, const Text& headers,
                                                 std::chrono::system_clock::time_point now) {
    // Only a host asking for patience says when to come back.
    if (status != 429 && status != 503) return std::nullopt;
    const std::optional<Text> given = ResponseHeader(headers, "Retry-After");
    if (!given) return std::nullopt;
    const Text value = TrimSpaces(*given);
    if (!value.empty() && value.find_first_not_of("0123456789") == Text::npos) {
        // Any number of digits: past nine they only say "for ever".
        const std::size_t start = std::min(value.find_first_not_of('0'), value.size());
        const std::string_view digits = std::string_view(value).substr(start);
        if (digits.size() > 9) return kLongestRetryAfter;  // 1,000,000,000 or more
        std::chrono::seconds::rep seconds = 0;
        for (char c : digits) seconds = seconds * 10 + (c - '0');
        return std::chrono::seconds(seconds);
    }
    const std::optional<time_t> at = DateOf(value);
    if (!at) return std::nullopt;
    // The host's own clock says when it answered; ours may differ from it.
    time_t answered = std::chrono::system_clock::to_time_t(now);
    if (const std::optional<Text> date = ResponseHeader(headers, "Date")) {
        if (const std::optional<time_t> given = DateOf(TrimSpaces(*date))) answered = *given;
    }
    if (*at <= answered) return std::chrono::seconds(0);
    return std::min(std::chrono::seconds(*at - answered), kLongestRetryAfter);
}

std::string RefusedWaitText(std::optional<std::chrono::seconds> asked) {
    if (!asked || *asked <= kMaxRetryPause) return {};
    return "asks to wait " + std::to_string(asked->count()) + " s" +
           (*asked >= kLongestRetryAfter ? " or more" : "");
}

RetrySchedule::RetrySchedule(RetryRules rules, std::chrono::steady_clock::time_point firstTry)
    : rules_(rules), deadline_(firstTry + rules.span) {}

std::optional<std::chrono::milliseconds> RetrySchedule::next(int status, HttpFailure failure,
                                                             std::optional<std::chrono::seconds> retryAfter,
                                                             std::chrono::steady_clock::time_point now,
                                                             std::mt19937& random) {
    if (tries_ > rules_.retries || !WorthRetrying(status, failure)) return std::nullopt;
    if (retryAfter && *retryAfter > rules_.longestPause) return std::nullopt;
    // The band after try n starts at the first pause doubled n - 1 times;
    // past the longest pause every band is that pause alone.
    const double longest = static_cast<double>(rules_.longestPause.count());
    const double low = std::min(std::ldexp(static_cast<double>(rules_.firstPause.count()), std::min(tries_ - 1, 60)),
                                longest);
    const double drawn = std::uniform_real_distribution<double>(low, 2 * low)(random);
    std::chrono::milliseconds pause(std::llround(std::min(drawn, longest)));
    pause = std::max(pause, previous_);
    if (retryAfter) pause = std::max<std::chrono::milliseconds>(pause, *retryAfter);
    if (now + pause > deadline_) return std::nullopt;
    previous_ = pause;
    ++tries_;
    return pause;
}

}  // namespace lumigrab
