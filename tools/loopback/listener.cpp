#include "tools/loopback/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace lumigrab::loopback {
namespace {

using Clock = std::chrono::steady_clock;

void SetUpConnection(int fd, std::chrono::milliseconds timeout) {
    const long long ms = std::max<long long>(timeout.count(), 1);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    // Heads and bodies often go out in separate writes; without this a
    // kept-alive connection waits out the client's delayed ACK before each body.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

Listener::Listener(ListenerLimits limits) : limits_(limits) {
    limits_.maxOpen = std::max<std::size_t>(limits_.maxOpen, 1);
    listenFd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listenFd_) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    setsockopt(listenFd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(limits_.port));
    if (limits_.port < 0 || limits_.port > 65535 ||
        ::bind(listenFd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_.get(), 128) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(limits_.port) + ": " +
                                 std::strerror(errno));
    socklen_t len = sizeof addr;
    getsockname(listenFd_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    wakeRead_ = UniqueFd(pipeFds[0]);
    wakeWrite_ = UniqueFd(pipeFds[1]);
}

Listener::~Listener() { stop(); }

void Listener::start(Serve serve, Refuse refuse, Ending ending) {
    serve_ = std::move(serve);
    refuse_ = std::move(refuse);
    ending_ = std::move(ending);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

void Listener::stop() {
    std::lock_guard lock(stopCallMutex_);
    stopping_ = true;
    const char wake = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeWrite_.get(), &wake, 1);
    if (acceptThread_.joinable()) acceptThread_.join();
    finished_ = true;
}

void Listener::acceptLoop() {
    const bool limited = limits_.lifetime.count() > 0;
    const auto deadline = Clock::now() + limits_.lifetime;
    while (!stopping_) {
        int waitMs = 1000;
        if (limited) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            waitMs = static_cast<int>(std::min<long long>(waitMs, left.count()));
        }
        reapFinished();
        bool full;
        {
            std::lock_guard lock(connectionsMutex_);
            full = open_ >= limits_.maxOpen;
        }
        const bool spent = accepted_ >= limits_.maxAccepted;
        // Waiting in the backlog: only the wake pipe (or a slot freeing up,
        // seen on the next round) ends the wait.
        const bool holdBack = spent || (full && !limits_.refuseWhenFull);
        if (holdBack) waitMs = std::min(waitMs, 20);
        pollfd fds[2] = {{listenFd_.get(), static_cast<short>(holdBack ? 0 : POLLIN), 0},
                         {wakeRead_.get(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, waitMs);
        if (ready <= 0 || stopping_ || holdBack || !(fds[0].revents & POLLIN)) continue;
        UniqueFd client(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        SetUpConnection(client.get(), limits_.idleTimeout);
        ++accepted_;
        if (full) {
            if (refuse_) refuse_(client.get());
            continue;
        }
        std::lock_guard lock(connectionsMutex_);
        Connection& c = connections_.emplace_back();
        c.fd = client.get();
        try {
            c.thread = std::thread([this, &c] {
                serve_(c.fd);
                std::lock_guard lock(connectionsMutex_);
                ::close(c.fd);
                c.done = true;
                --open_;
            });
        } catch (const std::system_error&) {
            connections_.pop_back();
            continue;  // the socket closes with `client`
        }
        client.release();  // the connection's thread closes it
        ++open_;
    }
    stopping_ = true;
    if (ending_) ending_();
    closeAll();
    listenFd_.reset();
    finished_ = true;
}

void Listener::reapFinished() {
    std::lock_guard lock(connectionsMutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->done) {
            it->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void Listener::closeAll() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(connectionsMutex_);
        for (Connection& c : connections_) {
            // Wakes a thread blocked in recv, send or a TLS handshake; the
            // descriptor itself stays open until its thread closes it.
            if (!c.done) ::shutdown(c.fd, SHUT_RDWR);
            threads.push_back(std::move(c.thread));
        }
    }
    for (std::thread& t : threads)
        if (t.joinable()) t.join();
    std::lock_guard lock(connectionsMutex_);
    connections_.clear();
}

}  // namespace lumigrab::loopback
