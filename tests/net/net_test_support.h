#pragma once
// What the HTTP tests share: canned replies and one request whose every
// outcome (body, status, failure reason, time taken) is kept for asserting.
#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/http_request.h"
#include "support/loopback_server.h"

namespace lumigrab {

inline std::string AsString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

inline testing::LoopbackReply Body(std::string body, std::vector<std::string> headers = {}) {
    testing::LoopbackReply reply;
    reply.body = std::move(body);
    reply.headers = std::move(headers);
    return reply;
}

struct Attempt {
    Bytes body;
    int status = 99;  // HttpRequest must overwrite it, with 0 on failure
    HttpFailure failure = HttpFailure::None;
    std::chrono::steady_clock::duration took{};
};

// One request with `options` (their status and failure outputs are taken over).
inline Attempt Try(std::string_view url, HttpOptions options = {}) {
    Attempt attempt;
    options.statusCode = &attempt.status;
    options.failure = &attempt.failure;
    const auto start = std::chrono::steady_clock::now();
    attempt.body = HttpRequest(url, options);
    attempt.took = std::chrono::steady_clock::now() - start;
    return attempt;
}

}  // namespace lumigrab
