#include "support/loopback_server.h"

#include <algorithm>
#include <charconv>

namespace lumigrab::testing {

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) { return loopback::EqualsIgnoreCase(a, b); }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::optional<std::string> LoopbackRequest::header(std::string_view name) const {
    const std::size_t headEnd = raw.find("\r\n\r\n");
    const auto head = loopback::ParseRequestHead(
        std::string_view(raw).substr(0, headEnd == std::string::npos ? raw.size() : headEnd));
    if (!head) return std::nullopt;
    return head->header(name);
}

LoopbackReply LoopbackReply::Redirect(int status, std::string location) {
    LoopbackReply reply;
    reply.status = status;
    reply.reason = "Redirect";
    reply.headers.push_back("Location: " + location);
    return reply;
}

LoopbackServer::LoopbackServer(LoopbackHandler handler, LoopbackLimits limits, LoopbackStreamMaker streams)
    : handler_(std::move(handler)), limits_(limits), streams_(std::move(streams)) {
    listener_ = std::make_unique<loopback::Listener>(loopback::ListenerLimits{
        .maxOpen = limits.maxConcurrent,
        .maxAccepted = limits.maxConnections,
        .idleTimeout = limits.idleTimeout,
        .lifetime = limits.lifetime});
    port_ = static_cast<std::uint16_t>(listener_->port());
    listener_->start([this](int fd) { serve(fd); }, {}, [this] {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        stopSignal_.notify_all();
    });
}

LoopbackServer::~LoopbackServer() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stopSignal_.notify_all();
    listener_->stop();
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

std::size_t LoopbackServer::connectionCount() const { return listener_->accepted(); }

void LoopbackServer::sleepUnlessStopped(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    stopSignal_.wait_for(lock, duration, [this] { return stopping_.load(); });
}

void LoopbackServer::serve(int fd) {
    const std::unique_ptr<loopback::Stream> owned =
        streams_ ? streams_(fd) : std::make_unique<loopback::PlainStream>(fd);
    if (!owned) return;
    loopback::Stream& stream = *owned;
    std::string pending;
    char chunk[16384];

    while (!stopping_) {
        loopback::RequestHead head;
        if (loopback::ReadRequestHead(stream, pending, limits_.maxRequestBytes, head) != loopback::ReadStatus::Ok)
            return;
        std::uint64_t bodySize = 0;
        if (const auto length = head.header("Content-Length"))
            std::from_chars(length->data(), length->data() + length->size(), bodySize);
        const bool clientCloses = EqualNoCase(head.header("Connection").value_or(""), "close");
        if (bodySize > limits_.maxRequestBytes || head.raw.size() + bodySize > limits_.maxRequestBytes) return;
        while (pending.size() < bodySize) {
            const long got = stream.readSome(chunk, sizeof chunk);
            if (got <= 0) return;
            pending.append(chunk, static_cast<std::size_t>(got));
        }

        LoopbackRequest request;
        request.method = head.method;
        request.target = head.target;
        request.body = pending.substr(0, static_cast<std::size_t>(bodySize));
        request.raw = head.raw + request.body;
        pending.erase(0, static_cast<std::size_t>(bodySize));
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
        if (!stream.writeAll(out)) return;

        if (request.method != "HEAD") {
            std::uint64_t left = reply.closeAfterBodyBytes ? std::min(*reply.closeAfterBodyBytes, fullBody) : fullBody;
            while (left > 0 && !reply.body.empty()) {
                std::size_t at = 0;
                std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, reply.body.size()));
                if (reply.trickle.count() > 0) {
                    at = static_cast<std::size_t>((fullBody - left) % reply.body.size());
                    piece = 1;
                }
                if (!stream.writeAll(std::string_view(reply.body).substr(at, piece))) return;
                left -= piece;
                if (reply.trickle.count() > 0) {
                    sleepUnlessStopped(reply.trickle);
                    if (stopping_) return;
                }
            }
        }
        if (reply.closeAfterBodyBytes || reply.closeConnection || clientCloses) return;
        if (!reply.contentLength && request.method != "HEAD") return;  // body ends at close
    }
}

}  // namespace lumigrab::testing
