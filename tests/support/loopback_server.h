#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for tests, on the loopback servers'
// shared core (tools/loopback). It records the exact bytes of every request
// it reads and answers each from a scripted handler, which can also stall,
// stream a large body, cut a body short or redirect. Bounded: a cap on
// connections, on request size and on the server's life; the destructor
// stops it and joins every thread.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/loopback/listener.h"

namespace lumigrab::testing {

struct LoopbackRequest {
    std::string raw;       // request line, headers, blank line and body, as received
    std::string method;
    std::string target;    // as on the request line ("/path?q" or an absolute URL via a proxy)
    std::string body;
    // The value of the first header with this name (any letter case), if any.
    std::optional<std::string> header(std::string_view name) const;
};

struct LoopbackReply {
    int status = 200;
    std::string reason = "OK";
    std::vector<std::string> headers;  // raw lines, without CR LF
    std::string body;
    // The body goes out this many times over (for big bodies without a big
    // string); Content-Length counts every copy.
    std::uint64_t bodyRepeat = 1;
    // Adds "Content-Length" unless the handler wrote one itself.
    bool contentLength = true;
    // Waits this long (or until the server stops) before sending anything.
    std::chrono::milliseconds stallBeforeReply{0};
    // Sends only this many body bytes, then closes the connection.
    std::optional<std::uint64_t> closeAfterBodyBytes;
    // Sends the body one byte at a time, this long apart (a trickling host).
    std::chrono::milliseconds trickle{0};
    bool closeConnection = false;

    static LoopbackReply Redirect(int status, std::string location);
};

using LoopbackHandler = std::function<LoopbackReply(const LoopbackRequest&)>;

// Wraps an accepted socket in the stream the server speaks HTTP over (a TLS
// session, say), on the connection's own thread; null closes the connection
// unserved. The socket stays the server's: the stream must not close it.
using LoopbackStreamMaker = std::function<std::unique_ptr<loopback::Stream>(int fd)>;

struct LoopbackLimits {
    std::size_t maxConnections = 4096;       // accepted over the server's life
    std::size_t maxConcurrent = 64;          // open at once; more wait in the backlog
    std::size_t maxRequestBytes = 4u << 20;  // head and body together
    std::chrono::milliseconds idleTimeout{10000};
    std::chrono::milliseconds lifetime{120000};
};

class LoopbackServer {
public:
    // Without `streams`, HTTP goes over the plain socket.
    explicit LoopbackServer(LoopbackHandler handler, LoopbackLimits limits = {},
                            LoopbackStreamMaker streams = {});
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by path.
    std::string url(std::string_view path = "/") const;

    std::vector<LoopbackRequest> requests() const;
    std::size_t requestCount() const;
    std::size_t connectionCount() const;

private:
    void serve(int fd);
    void sleepUnlessStopped(std::chrono::milliseconds duration);

    LoopbackHandler handler_;
    LoopbackLimits limits_;
    LoopbackStreamMaker streams_;
    std::unique_ptr<loopback::Listener> listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    std::condition_variable stopSignal_;
    std::vector<LoopbackRequest> requests_;
};

}  // namespace lumigrab::testing
