#include "net/retry.h"

#include <algorithm>
#include <charconv>

#include "net/http_headers.h"
#include "text/text.h"

namespace lumigrab {

bool WorthRetrying(int status, HttpFailure failure) {
    if (status == 429 || status == 503) return true;
    return status == 0 && failure == HttpFailure::Other;
}

std::optional<std::chrono::seconds> RetryAfterOf(const Text& headers) {
    const std::optional<Text> given = ResponseHeader(headers, "Retry-After");
    if (!given) return std::nullopt;
    const Text value = TrimSpaces(*given);
    long long seconds = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (error != std::errc() || end != value.data() + value.size() || seconds < 0) return std::nullopt;
    return std::chrono::seconds(std::min<long long>(seconds, kMaxRetryAfter.count()));
}

std::chrono::milliseconds RetryPause(int tries, std::optional<std::chrono::seconds> retryAfter,
                                     std::mt19937& random) {
    const double base = 1000.0 * static_cast<double>(1LL << std::clamp(tries - 1, 0, 6));
    const double spread = std::uniform_real_distribution<double>(0.5, 1.5)(random);
    std::chrono::milliseconds pause(static_cast<long long>(base * spread));
    if (retryAfter) pause = std::max<std::chrono::milliseconds>(pause, *retryAfter);
    return pause;
}

}  // namespace lumigrab
