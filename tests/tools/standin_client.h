#pragma once
// Clients for the stand-in tests: the program's HttpRequest for whole
// exchanges and raw sockets for what it would never send.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "net/http_request.h"

namespace lumigrab::standin::testing {

// One exchange made with the program's own HttpRequest, as the program
// makes it; only what that cannot send goes through RawClient below.
struct Fetched {
    HttpFailure failure = HttpFailure::Other;
    int status = 0;
    std::string body;
    bool ok() const { return failure == HttpFailure::None; }
};

struct FetchOptions {
    std::string proxy;  // "" : direct, whatever the environment says
    bool follow = false;
    int timeoutSeconds = 10;  // the stall limit, as HttpRequest takes it
};

Fetched Fetch(const std::string& url, const FetchOptions& options = {});

// The text between the first `left` and the first `right` after it, as the
// program cuts the array out of a page; nullopt when either is missing.
std::optional<std::string> Between(std::string_view text, std::string_view left,
                                   std::string_view right);

// A connected TCP socket to 127.0.0.1:port, closed on destruction.
class RawClient {
public:
    explicit RawClient(int port);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    bool connected() const { return fd_ >= 0; }
    bool send(std::string_view data);
    // Reads one response: the head and Content-Length bytes of body, or up
    // to end of stream; "" when nothing arrived before the timeout.
    std::string readResponse(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Everything until the peer closes (or the timeout).
    std::string readAll(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True once a read has seen the peer close its end.
    bool peerClosed() const { return peerClosed_; }

private:
    int fd_ = -1;
    std::string pending_;
    bool peerClosed_ = false;
};

}  // namespace lumigrab::standin::testing
