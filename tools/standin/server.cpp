// Lifecycle of the stand-in: listening, accepting within the connection
// bound, stopping (on request or when its lifetime is over), and the
// counters tests read.
#include <algorithm>

#include <poll.h>
#include <sys/socket.h>

#include "tools/standin/server_impl.h"

namespace lumigrab::standin {
namespace {

constexpr std::size_t kMaxHitKeys = 100000;

}  // namespace

StandinServer::Impl::Impl(StandinOptions options) : opt(std::move(options)) {
    opt.maxConnections = std::max(opt.maxConnections, 1);
    opt.maxRequestBytes = std::max<std::size_t>(opt.maxRequestBytes, 256);
    pictureDelayMs = std::max<long long>(opt.pictureDelay.count(), 0);

    listener = std::make_unique<loopback::Listener>(loopback::ListenerLimits{
        .port = opt.port,
        .maxOpen = static_cast<std::size_t>(opt.maxConnections),
        .refuseWhenFull = true,
        .idleTimeout = opt.idleTimeout,
        .lifetime = opt.lifetime.count() > 0 ? opt.lifetime : std::chrono::milliseconds(0)});
    boundPort = listener->port();
    base = "http://127.0.0.1:" + std::to_string(boundPort);

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

void StandinServer::Impl::start() {
    listener->start([this](int fd) { serveConnection(fd); }, [this](int fd) { refuse(fd); },
                    [this] { markStopping(); });
}

void StandinServer::Impl::refuse(int fd) {
    const std::string reply = detail::ResponseHead(503, "text/plain", 0, false);
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    std::lock_guard lock(statsMu);
    ++rejected;
}

void StandinServer::Impl::markStopping() {
    {
        std::lock_guard lock(stopMu);
        stopping = true;
    }
    stopCv.notify_all();
}

StandinServer::StandinServer(StandinOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->start();
}

StandinServer::~StandinServer() { stop(); }

void StandinServer::stop() {
    // Handlers asleep in a stall or a delay wake first; then the listener
    // wakes those blocked on their sockets and joins them all.
    impl_->markStopping();
    impl_->listener->stop();
}

bool StandinServer::running() const { return !impl_->listener->finished(); }
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

void StandinServer::Impl::pictureStarted(Flight& flight) {
    std::lock_guard lock(statsMu);
    // A cancelled transfer's socket is closed before its client starts the
    // next one, but the thread serving it may not have run since.
    for (auto it = flying.begin(); it != flying.end();) {
        pollfd p{(*it)->socket_, POLLRDHUP, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            (*it)->landed_ = true;
            it = flying.erase(it);
        } else {
            ++it;
        }
    }
    flying.insert(&flight);
    currentPictures = static_cast<int>(flying.size());
    maxPictures = std::max(maxPictures, currentPictures);
}

void StandinServer::Impl::pictureFinished(Flight& flight) {
    std::lock_guard lock(statsMu);
    if (flight.landed_) return;
    flight.landed_ = true;
    flying.erase(&flight);
    currentPictures = static_cast<int>(flying.size());
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
