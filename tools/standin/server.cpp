// Lifecycle of the stand-in: listening, accepting within the connection
// bound, stopping (on request or when its lifetime is over), and the
// counters tests read.
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "tools/standin/server_impl.h"

namespace lumigrab::standin {
namespace {

using detail::UniqueFd;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxHitKeys = 100000;

void SetTimeouts(int fd, std::chrono::milliseconds timeout) {
    const long long ms = std::max<long long>(timeout.count(), 1);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

StandinServer::Impl::Impl(StandinOptions options) : opt(std::move(options)) {
    opt.maxConnections = std::max(opt.maxConnections, 1);
    opt.maxRequestBytes = std::max<std::size_t>(opt.maxRequestBytes, 256);
    pictureDelayMs = std::max<long long>(opt.pictureDelay.count(), 0);

    listenFd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listenFd) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    setsockopt(listenFd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(opt.port));
    if (opt.port < 0 || opt.port > 65535 ||
        ::bind(listenFd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd.get(), 128) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(opt.port) + ": " +
                                 std::strerror(errno));
    socklen_t len = sizeof addr;
    getsockname(listenFd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    boundPort = ntohs(addr.sin_port);
    base = "http://127.0.0.1:" + std::to_string(boundPort);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    wakeRead = UniqueFd(pipeFds[0]);
    wakeWrite = UniqueFd(pipeFds[1]);

    tls = detail::MakeSelfSignedServerContext();
    pageSettings.base = base;
    pageSettings.defaultTotal = opt.total;
    pageSettings.kindCycle = opt.kindCycle;
    pageSettings.elementVariants = opt.elementVariants;
}

bool StandinServer::Impl::sleepUnlessStopped(std::chrono::milliseconds duration) {
    std::unique_lock lock(stopMu);
    return !stopCv.wait_for(lock, duration, [this] { return stopping.load(); });
}

void StandinServer::Impl::acceptLoop() {
    const bool limited = opt.lifetime.count() > 0;
    const auto deadline = Clock::now() + opt.lifetime;
    while (!stopping) {
        int waitMs = 1000;
        if (limited) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            waitMs = static_cast<int>(std::min<long long>(waitMs, left.count()));
        }
        pollfd fds[2] = {{listenFd.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, waitMs);
        reapFinished();
        if (ready <= 0 || stopping || !(fds[0].revents & POLLIN)) continue;
        UniqueFd client(::accept4(listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) continue;
        SetTimeouts(client.get(), opt.idleTimeout);
        bool full;
        {
            std::lock_guard lock(connMu);
            full = openConnections >= opt.maxConnections;
        }
        if (full) {
            const std::string reply =
                detail::ResponseHead(503, "text/plain", 0, false);
            ::send(client.get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            std::lock_guard lock(statsMu);
            ++rejected;
            continue;
        }
        startConnection(std::move(client));
    }
    shutdownAll();
    listenFd.reset();
    finished = true;
}

void StandinServer::Impl::startConnection(UniqueFd fd) {
    std::lock_guard lock(connMu);
    Connection& c = connections.emplace_back();
    c.fd = fd.get();
    try {
        c.thread = std::thread([this, &c] { serveConnection(c); });
    } catch (const std::system_error&) {
        connections.pop_back();
        return;  // fd closes here
    }
    fd.release();  // the connection thread closes it
    ++openConnections;
}

void StandinServer::Impl::reapFinished() {
    std::lock_guard lock(connMu);
    for (auto it = connections.begin(); it != connections.end();) {
        if (it->done) {
            it->thread.join();
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

void StandinServer::Impl::shutdownAll() {
    {
        std::lock_guard lock(stopMu);
        stopping = true;
    }
    stopCv.notify_all();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(connMu);
        for (Connection& c : connections) {
            // Wakes a thread blocked in recv, send or the TLS handshake; the
            // descriptor itself stays open until its thread closes it.
            if (!c.done) ::shutdown(c.fd, SHUT_RDWR);
            threads.push_back(std::move(c.thread));
        }
    }
    for (std::thread& t : threads)
        if (t.joinable()) t.join();
    std::lock_guard lock(connMu);
    connections.clear();
}

StandinServer::StandinServer(StandinOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->acceptThread = std::thread([impl = impl_.get()] { impl->acceptLoop(); });
}

StandinServer::~StandinServer() { stop(); }

void StandinServer::stop() {
    std::lock_guard lock(impl_->stopCallMu);
    {
        std::lock_guard stopLock(impl_->stopMu);
        impl_->stopping = true;
    }
    impl_->stopCv.notify_all();
    const char wake = 1;
    [[maybe_unused]] ssize_t n = ::write(impl_->wakeWrite.get(), &wake, 1);
    if (impl_->acceptThread.joinable()) impl_->acceptThread.join();
}

bool StandinServer::running() const { return !impl_->finished; }
int StandinServer::port() const { return impl_->boundPort; }
std::string StandinServer::baseUrl() const { return impl_->base; }
std::string StandinServer::proxyUrl() const { return impl_->base; }

void StandinServer::Impl::record(const detail::RequestHead& head, std::string_view pathAndQuery,
                                 bool viaTunnel) {
    std::lock_guard lock(statsMu);
    ++totalRequests;
    if (records.size() < opt.maxRecordedRequests) {
        RecordedRequest r;
        r.method = head.method;
        r.target = head.target;
        r.pathAndQuery = std::string(pathAndQuery);
        r.host = head.header("Host").value_or("");
        r.viaTunnel = viaTunnel;
        r.headers = head.headers;
        if (opt.recordRawRequests) r.raw = head.raw;
        records.push_back(std::move(r));
    }
    if (head.method != "CONNECT") {
        const std::string_view path = pathAndQuery.substr(0, pathAndQuery.find('?'));
        if (path == "/search/flip") ++pages;
        if (path.starts_with("/pic/") || path.starts_with("/thumb/")) ++pictures;
    }
    if (auto it = hits.find(pathAndQuery); it != hits.end())
        ++it->second;
    else if (hits.size() < kMaxHitKeys)
        hits.emplace(std::string(pathAndQuery), 1);
    statsCv.notify_all();
}

void StandinServer::Impl::pictureStarted() {
    std::lock_guard lock(statsMu);
    ++currentPictures;
    maxPictures = std::max(maxPictures, currentPictures);
}

void StandinServer::Impl::pictureFinished() {
    std::lock_guard lock(statsMu);
    --currentPictures;
}

std::vector<RecordedRequest> StandinServer::requests() const {
    std::lock_guard lock(impl_->statsMu);
    return impl_->records;
}

std::size_t StandinServer::requestCount() const {
    std::lock_guard lock(impl_->statsMu);
    return impl_->totalRequests;
}

int StandinServer::hitCount(std::string_view pathAndQuery) const {
    std::lock_guard lock(impl_->statsMu);
    const auto it = impl_->hits.find(pathAndQuery);
    return it == impl_->hits.end() ? 0 : it->second;
}

int StandinServer::hitsUnder(std::string_view pathPrefix) const {
    std::lock_guard lock(impl_->statsMu);
    int total = 0;
    for (const auto& [key, count] : impl_->hits) {
        const std::string_view path = std::string_view(key).substr(0, key.find('?'));
        if (path.starts_with(pathPrefix)) total += count;
    }
    return total;
}

int StandinServer::pageRequests() const {
    std::lock_guard lock(impl_->statsMu);
    return impl_->pages;
}

int StandinServer::pictureRequests() const {
    std::lock_guard lock(impl_->statsMu);
    return impl_->pictures;
}

int StandinServer::currentPictures() const {
    std::lock_guard lock(impl_->statsMu);
    return impl_->currentPictures;
}

int StandinServer::maxConcurrentPictures() const {
    std::lock_guard lock(impl_->statsMu);
    return impl_->maxPictures;
}

int StandinServer::rejectedConnections() const {
    std::lock_guard lock(impl_->statsMu);
    return impl_->rejected;
}

bool StandinServer::waitForRequests(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->statsMu);
    return impl_->statsCv.wait_for(lock, timeout, [&] { return impl_->totalRequests >= n; });
}

void StandinServer::resetCounters() {
    std::lock_guard lock(impl_->statsMu);
    impl_->records.clear();
    impl_->totalRequests = 0;
    impl_->hits.clear();
    impl_->pages = 0;
    impl_->pictures = 0;
    // Pictures in flight keep counting; the high-water mark restarts from them.
    impl_->maxPictures = impl_->currentPictures;
    impl_->rejected = 0;
}

void StandinServer::setPictureDelay(std::chrono::milliseconds delay) {
    impl_->pictureDelayMs = std::max<long long>(delay.count(), 0);
}

}  // namespace lumigrab::standin
