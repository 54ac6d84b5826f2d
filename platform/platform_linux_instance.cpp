#include "platform/platform_linux_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

namespace lumigrab {
namespace {

using Clock = std::chrono::steady_clock;

// Abstract address: a leading zero byte, then the name's bytes (no
// terminator; the length says where it ends).
std::optional<std::pair<sockaddr_un, socklen_t>> AbstractAddress(const Text& name) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (name.empty() || name.size() + 1 > sizeof addr.sun_path) return std::nullopt;
    addr.sun_path[0] = '\0';
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return std::make_pair(addr, length);
}

int MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Reads until `expected` bytes arrived, the peer closed, or the deadline.
// Stops early on anything that cannot be the start of `expected`.
bool ReadExactly(int fd, std::string_view expected, Clock::time_point deadline) {
    std::string got;
    char buffer[16];
    while (got.size() < expected.size()) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        std::size_t want = std::min(sizeof buffer, expected.size() - got.size());
        ssize_t n = ::recv(fd, buffer, want, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        got.append(buffer, static_cast<std::size_t>(n));
        if (expected.substr(0, got.size()) != got) return false;
    }
    return true;
}

bool SendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool SameUser(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    return peer.uid == ::getuid();
}

}  // namespace

LinuxInstanceMarker::LinuxInstanceMarker(std::chrono::milliseconds readLimit)
    : readLimit_(readLimit) {}

LinuxInstanceMarker::~LinuxInstanceMarker() {
    if (listener_.joinable()) {
        char stop = 1;
        // The pipe is empty and ours alone, so one byte always fits.
        [[maybe_unused]] ssize_t n = ::write(stopWrite_.get(), &stop, 1);
        listener_.join();
    }
}

MarkerState LinuxInstanceMarker::openOrCreate(const Text& name,
                                              std::function<void()> onRaiseRequest) {
    if (socket_) return MarkerState::Created;  // already ours
    auto address = AbstractAddress(name);
    if (!address) return MarkerState::Unavailable;
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return MarkerState::Unavailable;
    // bind() is the open and the create in one step: exactly one process can
    // hold an abstract name, so two copies started together cannot both win.
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address->first), address->second) != 0) {
        return errno == EADDRINUSE ? MarkerState::HeldByOther : MarkerState::Unavailable;
    }
    int pipeEnds[2];
    if (::listen(fd.get(), 4) != 0 || ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        // The name is ours even if nobody can reach us through it; holding it
        // still keeps later copies out.
        socket_ = std::move(fd);
        return MarkerState::Created;
    }
    stopRead_ = UniqueFd(pipeEnds[0]);
    stopWrite_ = UniqueFd(pipeEnds[1]);
    socket_ = std::move(fd);
    onRaise_ = std::move(onRaiseRequest);
    listener_ = std::thread([this] { listen(); });
    return MarkerState::Created;
}

void LinuxInstanceMarker::listen() {
    for (;;) {
        pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
        int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) {
            if (fds[0].revents & (POLLERR | POLLNVAL)) return;
            continue;
        }
        UniqueFd client(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        ++connections_;
        serve(std::move(client));
    }
}

void LinuxInstanceMarker::serve(UniqueFd client) {
    // Any process of the machine can reach an abstract name; only our own
    // user's copies may move our window.
    if (!SameUser(client.get())) return;
    if (!ReadExactly(client.get(), kRaiseRequest, Clock::now() + readLimit_)) return;
    if (onRaise_) onRaise_();
    ++served_;
    SendAll(client.get(), kRaiseDone);  // a requester that left early misses nothing it needs
}

bool LinuxWindowActivator::bringForward(const Text& markerName, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    auto address = AbstractAddress(markerName);
    if (!address) return false;
    for (;;) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd) return false;
        int rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address->first),
                           address->second);
        if (rc != 0 && errno == EAGAIN) {
            // The holder's queue is full (it is answering someone else). Wait
            // a little, without spinning, and knock again while time is left.
            int left = MillisecondsLeft(deadline);
            if (left == 0) return false;
            ::poll(nullptr, 0, std::min(left, 50));
            continue;
        }
        if (rc != 0 && errno != EINPROGRESS) return false;  // nobody holds the name
        if (!SendAll(fd.get(), kRaiseRequest)) return false;
        return ReadExactly(fd.get(), kRaiseDone, deadline);
    }
}

}  // namespace lumigrab
