#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace lumigrab::testing {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollSlice{20};

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Header (name, value) pairs of a request head, request line excluded.
std::vector<std::pair<std::string_view, std::string_view>> HeaderFields(std::string_view head) {
    std::vector<std::pair<std::string_view, std::string_view>> fields;
    std::size_t pos = head.find("\r\n");
    while (pos != std::string_view::npos && pos + 2 < head.size()) {
        const std::size_t start = pos + 2;
        const std::size_t end = head.find("\r\n", start);
        if (end == std::string_view::npos || end == start) break;
        const std::string_view line = head.substr(start, end - start);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            fields.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
        }
        pos = end;
    }
    return fields;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::optional<std::string> LoopbackRequest::header(std::string_view name) const {
    const std::size_t headEnd = raw.find("\r\n\r\n");
    const std::string_view head(raw.data(), headEnd == std::string::npos ? raw.size() : headEnd + 2);
    for (const auto& [key, value] : HeaderFields(head)) {
        if (EqualNoCase(key, name)) return std::string(value);
    }
    return std::nullopt;
}

LoopbackReply LoopbackReply::Redirect(int status, std::string location) {
    LoopbackReply reply;
    reply.status = status;
    reply.reason = "Redirect";
    reply.headers.push_back("Location: " + location);
    return reply;
}

LoopbackServer::LoopbackServer(LoopbackHandler handler, LoopbackLimits limits)
    : handler_(std::move(handler)), limits_(limits), deadline_(Clock::now() + limits.lifetime) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return;
    const int yes = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 128) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        return;
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stopSignal_.notify_all();
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& connection : connections_) connection->thread.join();
    if (listenFd_ >= 0) ::close(listenFd_);
}

std::string LoopbackServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::vector<LoopbackRequest> LoopbackServer::requests() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::size_t LoopbackServer::requestCount() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

void LoopbackServer::acceptLoop() {
    while (!stopping_ && Clock::now() < deadline_) {
        connections_.remove_if([](const std::unique_ptr<Connection>& c) {
            if (!c->done) return false;
            c->thread.join();
            return true;
        });
        if (accepted_ >= limits_.maxConnections || open_ >= limits_.maxConcurrent) {
            std::this_thread::sleep_for(kPollSlice);
            continue;
        }
        pollfd waiting{listenFd_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(kPollSlice.count())) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (limits_.noDelay) {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        ++accepted_;
        ++open_;
        auto connection = std::make_unique<Connection>();
        Connection* raw = connection.get();
        connection->thread = std::thread([this, fd, raw] {
            serve(fd);
            --open_;
            raw->done = true;
        });
        connections_.push_back(std::move(connection));
    }
}

bool LoopbackServer::waitFor(int fd, short events) const {
    const Clock::time_point giveUp = Clock::now() + limits_.idleTimeout;
    while (!stopping_ && Clock::now() < giveUp) {
        pollfd waiting{fd, events, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(kPollSlice.count()));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    return false;
}

bool LoopbackServer::sendAll(int fd, std::string_view data) const {
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            data.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!waitFor(fd, POLLOUT)) return false;
            continue;
        }
        return false;
    }
    return true;
}

void LoopbackServer::sleepUnlessStopped(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    stopSignal_.wait_for(lock, duration, [this] { return stopping_.load(); });
}

void LoopbackServer::serve(int fd) {
    const FdCloser closer{fd};
    std::string buffer;
    char chunk[16384];
    auto readMore = [&]() {
        if (!waitFor(fd, POLLIN)) return false;
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        buffer.append(chunk, static_cast<std::size_t>(got));
        return true;
    };

    while (!stopping_) {
        std::size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (buffer.size() > limits_.maxRequestBytes || !readMore()) return;
        }
        const std::size_t headSize = headEnd + 4;
        const std::string_view head(buffer.data(), headSize);

        LoopbackRequest request;
        const std::size_t lineEnd = head.find("\r\n");
        const std::string_view requestLine = head.substr(0, lineEnd);
        const std::size_t space1 = requestLine.find(' ');
        const std::size_t space2 = requestLine.find(' ', space1 == std::string_view::npos ? 0 : space1 + 1);
        if (space1 == std::string_view::npos || space2 == std::string_view::npos) return;
        request.method = std::string(requestLine.substr(0, space1));
        request.target = std::string(requestLine.substr(space1 + 1, space2 - space1 - 1));

        std::uint64_t bodySize = 0;
        bool clientCloses = false;
        for (const auto& [name, value] : HeaderFields(head)) {
            if (EqualNoCase(name, "Content-Length")) {
                std::from_chars(value.data(), value.data() + value.size(), bodySize);
            } else if (EqualNoCase(name, "Connection") && EqualNoCase(value, "close")) {
                clientCloses = true;
            }
        }
        if (bodySize > limits_.maxRequestBytes || headSize + bodySize > limits_.maxRequestBytes) return;
        const std::size_t total = headSize + static_cast<std::size_t>(bodySize);
        while (buffer.size() < total) {
            if (!readMore()) return;
        }
        request.raw = buffer.substr(0, total);
        request.body = buffer.substr(headSize, static_cast<std::size_t>(bodySize));
        buffer.erase(0, total);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }

        const LoopbackReply reply = handler_(request);
        if (reply.stallBeforeReply.count() > 0) sleepUnlessStopped(reply.stallBeforeReply);
        if (stopping_) return;

        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason + "\r\n";
        bool hasLength = false;
        for (const std::string& line : reply.headers) {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos && EqualNoCase(Trim(std::string_view(line).substr(0, colon)), "Content-Length"))
                hasLength = true;
            out += line + "\r\n";
        }
        const std::uint64_t fullBody = reply.body.size() * reply.bodyRepeat;
        if (reply.contentLength && !hasLength) out += "Content-Length: " + std::to_string(fullBody) + "\r\n";
        out += "\r\n";
        if (!sendAll(fd, out)) return;

        if (request.method != "HEAD") {
            std::uint64_t left = reply.closeAfterBodyBytes ? std::min(*reply.closeAfterBodyBytes, fullBody) : fullBody;
            while (left > 0 && !reply.body.empty()) {
                const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, reply.body.size()));
                if (!sendAll(fd, std::string_view(reply.body).substr(0, piece))) return;
                left -= piece;
            }
        }
        if (reply.closeAfterBodyBytes || reply.closeConnection || clientCloses) return;
        if (!reply.contentLength && request.method != "HEAD") return;  // body ends at close
    }
}

}  // namespace lumigrab::testing
