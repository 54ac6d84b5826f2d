#include "standin_client.h"

#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lumigrab::standin::testing {

Fetched Fetch(const std::string& url, const FetchOptions& options) {
    Fetched out;
    HttpOptions request;
    request.statusCode = &out.status;
    request.failure = &out.failure;
    request.noRedirect = !options.follow;
    request.proxyAddress = options.proxy;
    request.timeoutSeconds = options.timeoutSeconds;
    const Bytes body = HttpRequest(url, request);
    out.body.assign(body.begin(), body.end());
    return out;
}

std::optional<std::string> Between(std::string_view text, std::string_view left,
                                   std::string_view right) {
    const std::size_t start = text.find(left);
    if (start == std::string_view::npos) return std::nullopt;
    const std::size_t from = start + left.size();
    const std::size_t end = text.find(right, from);
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(text.substr(from, end - from));
}

RawClient::RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

RawClient::~RawClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool RawClient::send(std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string RawClient::readAll(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string out = std::move(pending_);
    pending_.clear();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[16384];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        peerClosed_ = peerClosed_ || n == 0;
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

std::string RawClient::readResponse(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto complete = [this]() -> std::size_t {
        const std::size_t headEnd = pending_.find("\r\n\r\n");
        if (headEnd == std::string::npos) return 0;
        std::size_t length = 0;
        const std::size_t cl = pending_.find("Content-Length: ");
        if (cl != std::string::npos && cl < headEnd)
            length = std::stoul(pending_.substr(cl + 16));
        const std::size_t total = headEnd + 4 + length;
        return pending_.size() >= total ? total : 0;
    };
    for (;;) {
        if (const std::size_t n = complete()) {
            std::string out = pending_.substr(0, n);
            pending_.erase(0, n);
            return out;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[16384];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        peerClosed_ = peerClosed_ || n == 0;
        if (n <= 0) break;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
    return std::exchange(pending_, {});
}

}  // namespace lumigrab::standin::testing
