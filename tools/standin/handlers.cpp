// One connection of the stand-in: plain requests, the CONNECT tunnel with
// TLS inside, and the handlers behind both.
#include <algorithm>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/standin/server_impl.h"

namespace lumigrab::standin {
namespace {

using detail::RequestHead;
using detail::Stream;

constexpr std::uint64_t kMaxRequestBody = 1 << 20;
constexpr std::size_t kHugeChunk = 64 * 1024;

using Flight = StandinServer::Impl::Flight;

// Writes the data; a flight lands between the last byte and the rest.
bool WriteLanding(Stream& stream, std::string_view data, Flight* flight) {
    if (!flight || data.empty()) {
        if (flight) flight->land();
        return stream.writeAll(data);
    }
    if (!stream.writeAll(data.substr(0, data.size() - 1))) return false;
    flight->land();
    return stream.writeAll(data.substr(data.size() - 1));
}

bool Send(Stream& stream, int status, std::string_view contentType, std::string_view body,
          bool headOnly, bool keepAlive, std::string_view extraHeaders = {},
          Flight* flight = nullptr) {
    std::string out = detail::ResponseHead(status, contentType, body.size(), keepAlive, extraHeaders);
    if (!headOnly) out += body;
    return WriteLanding(stream, out, flight);
}

After Reply(Stream& stream, int status, std::string_view contentType, std::string_view body,
            bool headOnly, bool keepAlive, std::string_view extraHeaders = {},
            Flight* flight = nullptr) {
    if (!Send(stream, status, contentType, body, headOnly, keepAlive, extraHeaders, flight))
        return After::Close;
    return keepAlive ? After::KeepAlive : After::Close;
}

std::string_view AsText(const detail::Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string_view ContentTypeOf(PictureKind kind) {
    switch (kind) {
        case PictureKind::Png: return "image/png";
        case PictureKind::Gif: return "image/gif";
        case PictureKind::Html:
        case PictureKind::Missing:
        case PictureKind::Error: return "text/html; charset=utf-8";
        default: return "image/jpeg";
    }
}

// "http://host/path?q" → "/path?q"; origin form is returned unchanged.
std::string OriginForm(std::string_view target) {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (target.size() >= scheme.size() &&
            detail::EqualsIgnoreCase(target.substr(0, scheme.size()), scheme)) {
            const std::string_view rest = target.substr(scheme.size());
            const std::size_t slash = rest.find_first_of("/?");
            if (slash == std::string_view::npos) return "/";
            std::string out(rest.substr(slash));
            if (out.front() == '?') out.insert(out.begin(), '/');
            return out;
        }
    }
    return std::string(target);
}

std::string_view ConnectPort(std::string_view authority) {
    const std::size_t colon = authority.rfind(':');
    if (colon == std::string_view::npos || authority.ends_with(']')) return {};
    return authority.substr(colon + 1);
}

}  // namespace

void StandinServer::Impl::serveConnection(int fd) {
    After after = After::Close;
    {
        detail::PlainStream stream(fd);
        after = serveStream(stream, fd, false);
    }
    if (after == After::Reset) {
        // A zero linger turns the close into a reset, as a crashing host does.
        const linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
}

After StandinServer::Impl::serveStream(Stream& stream, int fd, bool viaTunnel) {
    std::string pending;
    while (!stopping) {
        RequestHead head;
        switch (detail::ReadRequestHead(stream, pending, opt.maxRequestBytes, head)) {
            case detail::ReadStatus::Ok: break;
            case detail::ReadStatus::Closed: return After::Close;
            case detail::ReadStatus::TooLarge:
                Send(stream, 431, "text/plain", "request head too large\n", false, false);
                return After::Close;
            case detail::ReadStatus::Malformed:
                Send(stream, 400, "text/plain", "malformed request\n", false, false);
                return After::Close;
        }
        if (head.method == "CONNECT") {
            record(head, head.target, viaTunnel);
            if (viaTunnel || !pending.empty()) {
                Send(stream, 400, "text/plain", "unexpected CONNECT\n", false, false);
                return After::Close;
            }
            return connectTunnel(stream, fd, head);
        }
        const std::string pathAndQuery = OriginForm(head.target);
        record(head, pathAndQuery, viaTunnel);
        if (head.header("Transfer-Encoding")) {
            Send(stream, 400, "text/plain", "request bodies must have a length\n", false, false);
            return After::Close;
        }
        if (auto length = head.header("Content-Length")) {
            const long long n = detail::LeadingNumber(*length, 1LL << 40);
            if (static_cast<std::uint64_t>(n) > kMaxRequestBody) {
                Send(stream, 413, "text/plain", "request body too large\n", false, false);
                return After::Close;
            }
            if (!detail::DiscardBody(stream, pending, static_cast<std::uint64_t>(n)))
                return After::Close;
        }
        const After after = dispatch(stream, head, pathAndQuery, head.keepAlive());
        if (after != After::KeepAlive) return after;
        // Pipelined bytes beyond the bound are as bad as a long head.
        if (pending.size() > opt.maxRequestBytes) return After::Close;
    }
    return After::Close;
}

After StandinServer::Impl::connectTunnel(Stream& plain, int fd, const RequestHead& head) {
    if (ConnectPort(head.target) != "443") {
        Send(plain, 403, "text/plain", "only port 443 is tunnelled\n", false, false);
        return After::Close;
    }
    if (!plain.writeAll("HTTP/1.1 200 Connection established\r\n\r\n")) return After::Close;
    detail::SslPtr ssl = detail::NewServerSsl(tls.get(), fd);
    if (!ssl || SSL_accept(ssl.get()) != 1) return After::Close;
    detail::TlsStream secure(ssl.get());
    const After after = serveStream(secure, fd, true);
    if (after != After::Reset) SSL_shutdown(ssl.get());
    return after;
}

After StandinServer::Impl::dispatch(Stream& stream, const RequestHead& head,
                                    std::string_view pathAndQuery, bool keepAlive) {
    const bool headOnly = head.method == "HEAD";
    const std::size_t q = pathAndQuery.find('?');
    const std::string_view path = pathAndQuery.substr(0, q);
    const std::string_view query =
        q == std::string_view::npos ? std::string_view{} : pathAndQuery.substr(q + 1);

    if (path == "/search/flip" || path == "/search/acjson") {
        const detail::FlipRequest request = detail::ParseFlipQuery(query);
        const detail::Special special = detail::ModeForKeyword(request.keyword, 0).special;
        if (special == detail::Special::Forbidden)
            return Reply(stream, 403, "text/html; charset=utf-8", HtmlBody("403 Forbidden", "Forbidden."),
                         headOnly, keepAlive);
        if (special == detail::Special::TooMany)
            return Reply(stream, 429, "text/html; charset=utf-8",
                         HtmlBody("429 Too Many Requests", "Too many requests."), headOnly, keepAlive,
                         "Retry-After: 1\r\n");
        if (path == "/search/acjson") return serveJsonPage(stream, head, request, headOnly, keepAlive);
        const bool gone = special == detail::Special::Gone || special == detail::Special::GoneVerify ||
                          special == detail::Special::GoneAntiFlag ||
                          (opt.resultPageGone && special == detail::Special::None);
        if (gone)
            return Reply(stream, 302, "text/html; charset=utf-8", HtmlBody("302 Found", "Moved."), headOnly,
                         keepAlive,
                         "Location: /search/index?tn=baiduimage&word=" +
                             std::string(detail::QueryValue(query, "word").value_or("")) + "\r\n");
        const auto page = detail::BuildFlipPage(pageSettings, request);
        if (!page) {
            sleepUnlessStopped(opt.stallTime);
            return After::Close;
        }
        // Relative, as the service writes it: the client must resolve it.
        if (detail::ModeForKeyword(request.keyword, 0).special == detail::Special::Refused)
            return Reply(stream, 302, "text/html; charset=utf-8", *page, headOnly, keepAlive,
                         "Location: " + std::string(kVerifyPath) + "?from=flip\r\n");
        return Reply(stream, 200, "text/html; charset=utf-8", *page, headOnly, keepAlive,
                     "Set-Cookie: BAIDUID=5A3F0C2E9B1D4E7F:FG=1; path=/; domain=.baidu.com\r\n");
    }
    if (path == "/")
        return Reply(stream, 200, "text/html; charset=utf-8",
                     HtmlBody("百度图片-发现多彩世界", "Front page."), headOnly, keepAlive,
                     "Set-Cookie: " + std::string(kSessionCookie) +
                         "; max-age=31536000; path=/; domain=.baidu.com\r\n");
    if (path == "/search/index")
        return Reply(stream, 200, "text/html; charset=utf-8",
                     detail::AppPage(detail::ParseFlipQuery(query).keyword), headOnly, keepAlive);
    if (path == kVerifyPath)
        return Reply(stream, 200, "text/html; charset=utf-8",
                     HtmlBody(kVerifyTitle, "网络不给力，请稍后重试"), headOnly, keepAlive);
    if (auto picture = ParsePicturePath(path, query)) {
        Flight flight(*this, stream.socket());
        const long long delay = pictureDelayMs;
        if (delay > 0 && !sleepUnlessStopped(std::chrono::milliseconds(delay))) return After::Close;
        return servePicture(stream, *picture, headOnly, keepAlive, flight);
    }
    return Reply(stream, 404, "text/html; charset=utf-8", notFoundBody(), headOnly, keepAlive);
}

After StandinServer::Impl::serveJsonPage(Stream& stream, const RequestHead& head,
                                         const detail::FlipRequest& request, bool headOnly, bool keepAlive) {
    if (detail::ModeForKeyword(request.keyword, 0).special == detail::Special::GoneVerify)
        return Reply(stream, 302, "text/html; charset=utf-8", HtmlBody("302 Found", "Moved."), headOnly,
                     keepAlive,
                     "Location: https://" + std::string(kVerifyHost) + std::string(kVerifyPath) +
                         "?from=acjson\r\n");
    // Without the front page's cookie, or not from the front page, it is a robot.
    const std::string cookie = head.header("Cookie").value_or("");
    const bool browser = cookie.find(kSessionCookie) != std::string::npos &&
                         head.header("Referer").value_or("") == "https://image.baidu.com/";
    if (!browser || detail::ModeForKeyword(request.keyword, 0).special == detail::Special::GoneAntiFlag)
        return Reply(stream, 200, "application/json; charset=utf-8",
                     R"({"antiFlag":1,"message":"Forbid spider access","bfe_log_id":"4718720397"})", headOnly,
                     keepAlive);
    if (!opt.jsonAnswer.empty())
        return Reply(stream, 200, "application/json; charset=utf-8", opt.jsonAnswer, headOnly, keepAlive);
    return Reply(stream, 200, "application/json; charset=utf-8", detail::BuildJsonPage(pageSettings, request),
                 headOnly, keepAlive);
}

After StandinServer::Impl::servePicture(Stream& stream, const PictureRequest& request,
                                        bool headOnly, bool keepAlive, Flight& flight) {
    switch (request.kind) {
        case PictureKind::Stall:
            sleepUnlessStopped(std::chrono::milliseconds(request.ms.value_or(opt.stallTime.count())));
            return After::Close;
        case PictureKind::Slow:
            if (!sleepUnlessStopped(
                    std::chrono::milliseconds(request.ms.value_or(opt.slowDelay.count()))))
                return After::Close;
            break;
        case PictureKind::Redirect: {
            std::string location = detail::PicturePath(request.kind, request.id, request.thumbnail,
                                                       request.w, request.h);
            location += location.find('?') == std::string::npos ? "?" : "&";
            location += "hop=" + std::to_string(request.hop + 1);
            return Reply(stream, 302, "text/html; charset=utf-8",
                         HtmlBody("302 Found", "Moved."), headOnly, keepAlive,
                         "Location: " + location + "\r\n", &flight);
        }
        case PictureKind::Huge:
            return serveHuge(stream, request.bytes.value_or(std::min(opt.hugeBytes, kMaxHugeBytes)),
                             headOnly, keepAlive, flight);
        case PictureKind::Trickle:
            return serveTrickle(stream, request, headOnly, flight);
        case PictureKind::Busy: {
            bool first = false;
            {
                std::lock_guard lock(statsMu);
                first = busyAsked.insert(detail::PicturePath(request.kind, request.id, request.thumbnail,
                                                             request.w, request.h)).second;
            }
            if (first)
                return Reply(stream, 429, "text/html; charset=utf-8",
                             HtmlBody("429 Too Many Requests", "Busy."), headOnly, keepAlive,
                             "Retry-After: 1\r\n", &flight);
            break;
        }
        case PictureKind::Reset: {
            const detail::Bytes whole = wholeJpeg(request);
            std::string out = detail::ResponseHead(200, "image/jpeg", whole.size(), keepAlive);
            if (!headOnly) out.append(AsText(whole).substr(0, whole.size() / 2));
            // The client learns of the failure only from the reset, after this.
            flight.land();
            stream.writeAll(out);
            return After::Reset;
        }
        default: break;
    }
    const int status = request.kind == PictureKind::Missing ? 404
                       : request.kind == PictureKind::Error ? 500
                                                            : 200;
    const detail::Bytes body = pictureBody(request);
    return Reply(stream, status, ContentTypeOf(request.kind), AsText(body), headOnly, keepAlive, {},
                 &flight);
}

After StandinServer::Impl::serveHuge(Stream& stream, std::uint64_t length, bool headOnly,
                                     bool keepAlive, Flight& flight) {
    const std::string head = detail::ResponseHead(200, "image/jpeg", length, keepAlive);
    if (!WriteLanding(stream, head, headOnly || length == 0 ? &flight : nullptr))
        return After::Close;
    if (headOnly) return keepAlive ? After::KeepAlive : After::Close;
    static const std::string filler(kHugeChunk, '\x55');
    static const std::string first = [] {
        std::string s = filler;
        const char start[] = {'\xFF', '\xD8', '\xFF', '\xE0'};
        std::memcpy(s.data(), start, sizeof start);
        return s;
    }();
    std::uint64_t sent = 0;
    while (sent < length) {
        if (stopping) return After::Close;
        const std::string& chunk = sent == 0 ? first : filler;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kHugeChunk, length - sent));
        const bool last = sent + n == length;
        if (!WriteLanding(stream, std::string_view(chunk).substr(0, n), last ? &flight : nullptr))
            return After::Close;
        sent += n;
    }
    return keepAlive ? After::KeepAlive : After::Close;
}

namespace {

// Waits `duration` unless the client closes its end (or sends anything, which
// a client waiting for its response does only when leaving) or the server
// stops. True when the full time passed with the client still there.
bool ClientStaysFor(Stream& stream, const std::atomic<bool>& stopping, std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!stopping) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        pollfd p{stream.socket(), POLLIN | POLLRDHUP, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
        if (ready > 0) return false;
    }
    return false;
}

}  // namespace

After StandinServer::Impl::serveTrickle(Stream& stream, const PictureRequest& request,
                                        bool headOnly, Flight& flight) {
    const detail::Bytes whole = wholeJpeg(request);
    const std::string head = detail::ResponseHead(200, "image/jpeg", whole.size(), false);
    if (!WriteLanding(stream, head, headOnly ? &flight : nullptr) || headOnly) return After::Close;
    const std::chrono::milliseconds interval(request.ms.value_or(1000));
    const std::string_view body = AsText(whole);
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (!ClientStaysFor(stream, stopping, interval)) return After::Close;
        if (!WriteLanding(stream, body.substr(i, 1), i + 1 == body.size() ? &flight : nullptr))
            return After::Close;
    }
    return After::Close;
}

}  // namespace lumigrab::standin
