#include "net/http_request.h"

#include <algorithm>
#include <new>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "net/body_budget.h"
#include "net/cookies.h"
#include "net/curl_pool.h"
#include "net/http_connection.h"
#include "net/http_headers.h"
#include "net/redirects.h"

namespace lumigrab {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kDefaultTimeout{15000};
// Enough for any real header block; a server that sends more is not one we
// want to keep listening to.
constexpr std::size_t kMaxResponseHeaderBytes = std::size_t{1} << 20;
constexpr long kMaxRedirects = 10;

std::atomic<long long> defaultTimeoutOverrideMs{0};

bool HasHeaderNamed(const std::vector<std::string>& lines, std::string_view name) {
    for (const std::string& line : lines) {
        if (StartsWithNoCase(line, name) && line.size() > name.size() && line[name.size()] == ':')
            return true;
    }
    return false;
}

// Below this many bytes a second, sustained over the low-speed window, a
// transfer is not a slow link but a host holding a worker: even a 2G mobile
// link moves several KB a second, and at 1 KiB/s a 5 MB picture still gets
// through (in under an hour and a half) as long as it keeps that pace. The
// window is 30 s so that a link that hiccups for a while is not cut off;
// it is never shorter than the stall limit, so a caller who allows long
// pauses is not cut off sooner by this check.
constexpr std::uint64_t kLowSpeedBytesPerSecond = 1024;
constexpr std::chrono::milliseconds kLowSpeedTime{30000};
// A body takes budget as it arrives, in steps that double from the first
// up to the largest: few copies of a growing buffer, little held ahead of
// the bytes. Never beyond its declared length, so a body that declares one
// ends in a buffer of exactly that size.
constexpr std::size_t kFirstBodyStep = std::size_t{64} << 10;
constexpr std::size_t kLargestBodyStep = std::size_t{4} << 20;
// Idle connections each pooled handle may keep (see curl_pool.cpp).
constexpr long kMaxConnectsPerHandle = 4;
// libcurl's own 16 KiB reads take a typical picture in five reads, five
// polls and five body callbacks; a larger buffer takes most in one.
constexpr long kReceiveBufferBytes = 128 * 1024;

std::atomic<long long> lowSpeedTimeOverrideMs{0};

std::mutex processProxyLock;
std::string processProxy;  // guarded by processProxyLock

std::string ProcessProxy() {
    std::lock_guard lock(processProxyLock);
    return processProxy;
}

std::chrono::milliseconds LowSpeedTime() {
    const long long override = lowSpeedTimeOverrideMs.load(std::memory_order_relaxed);
    return override > 0 ? std::chrono::milliseconds(override) : kLowSpeedTime;
}

// What one transfer collects through libcurl's callbacks.
struct Transfer {
    CURL* curl = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    Bytes body;
    BodyReservation reservation;  // covers body.capacity()
    std::optional<HttpFailure> failure;  // why a callback stopped the transfer
    std::vector<std::string> headerLines;
    std::size_t headerBytes = 0;

    // Bytes moved either way, every response of the exchange counted.
    std::uint64_t moved = 0;
    curl_off_t lastDown = 0;
    curl_off_t lastUp = 0;

    std::optional<std::chrono::milliseconds> stallLimit;
    std::uint64_t movedAtLastActivity = 0;
    Clock::time_point lastActivity = Clock::now();

    Clock::duration lowSpeedWindow{};
    std::uint64_t lowSpeedQuota = 0;  // bytes each window must move
    std::uint64_t movedAtWindowStart = 0;
    Clock::time_point windowStart = Clock::now();

    bool cancelled() const { return cancel != nullptr && cancel->load(std::memory_order_relaxed); }

    void restartClocks(Clock::time_point now) {
        movedAtLastActivity = movedAtWindowStart = moved;
        lastActivity = windowStart = now;
    }

    void countProgress(curl_off_t down, curl_off_t up) {
        // libcurl's counters start again with each response of a redirect chain.
        if (down > lastDown) moved += static_cast<std::uint64_t>(down - lastDown);
        if (up > lastUp) moved += static_cast<std::uint64_t>(up - lastUp);
        lastDown = down;
        lastUp = up;
    }

    // Makes room in the budget for the body to reach `needed` bytes.
    bool reserveFor(std::size_t needed);
    // A new response of the exchange begins. Storage the caller lent (a
    // worker's buffer from its last picture) stays for it; storage an
    // earlier response took beyond that goes with its reservation.
    std::size_t lentCapacity = 0;
    void dropBody() {
        if (body.capacity() > lentCapacity) {
            Bytes().swap(body);
        } else {
            body.clear();
        }
        reservation.releaseAll();
    }
};

bool Transfer::reserveFor(std::size_t needed) {
    // A declared length is the body's claim, never a reservation: a host
    // that declares 64 MiB and trickles would otherwise hold 64 MiB of the
    // budget from its first byte, and four such hosts the whole of it.
    curl_off_t declared = -1;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
    const std::size_t largest = std::min(kMaxResponseBody, BodyBudgetCapacity());
    if (declared > static_cast<curl_off_t>(largest)) {
        failure = HttpFailure::TooLarge;  // refused before it arrives
        return false;
    }
    const bool honest = declared >= 0 && static_cast<std::size_t>(declared) >= needed;
    const std::size_t claim = honest ? static_cast<std::size_t>(declared) : largest;
    const std::size_t held = reservation.held();
    std::size_t want = held + std::clamp(held, kFirstBodyStep, kLargestBodyStep);
    want = std::max(needed, std::min(want, claim));

    // Under the banker's rule a wait cannot deadlock while every claim holds.
    // A body that outgrows its declared length breaks its claim; waiting
    // while holding bytes is then bounded, and it gives up as too large.
    std::optional<Clock::time_point> deadline;
    if (held > 0 && claim > reservation.claim())
        deadline = Clock::now() + stallLimit.value_or(kDefaultTimeout);
    switch (reservation.growTo(want, claim, deadline, cancel)) {
        case BodyReservation::Grant::Granted:
            break;
        case BodyReservation::Grant::Waited:
            // The host was not slow while we waited for memory.
            restartClocks(Clock::now());
            break;
        case BodyReservation::Grant::Cancelled:
            failure = HttpFailure::Cancelled;
            return false;
        case BodyReservation::Grant::TimedOut:
        case BodyReservation::Grant::TooBig:
            failure = HttpFailure::TooLarge;
            return false;
    }
    // A body that states its length and is large enough to get a mapping of
    // its own gets storage for all of it now: its pages only become memory
    // as bytes fill them, which the steps above still bound, and it is never
    // copied to grow.
    const bool mapped = honest && claim >= kMappedBlockBytes;
    try {
        body.reserve(mapped ? claim : want);
    } catch (const std::bad_alloc&) {
        failure = HttpFailure::TooLarge;  // nothing may be thrown through libcurl
        return false;
    }
    return true;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (n > kMaxResponseBody - transfer->body.size()) {
        transfer->failure = HttpFailure::TooLarge;
        return 0;  // makes libcurl abort the transfer
    }
    const size_t needed = transfer->body.size() + n;
    if (needed > transfer->reservation.held() && !transfer->reserveFor(needed)) return 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    // Within the capacity reserved above: no allocation, nothing thrown.
    transfer->body.insert(transfer->body.end(), bytes, bytes + n);
    return n;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t n = size * count;
    transfer->moved += n;
    std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
        // A new response begins (after a redirect or an interim 1xx): only the
        // last one is reported, and any body seen so far belonged to another.
        transfer->headerLines.clear();
        transfer->headerBytes = 0;
        transfer->dropBody();
        return n;
    }
    transfer->headerBytes += n;
    if (transfer->headerBytes > kMaxResponseHeaderBytes) return 0;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty()) return n;  // the blank line that ends the block
    // System text holds no zero byte.
    const size_t zero = line.find('\0');
    if (zero != std::string_view::npos) line = line.substr(0, zero);
    transfer->headerLines.emplace_back(line);
    return n;
}

// libcurl calls this at least about once a second, also while nothing moves.
int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* transfer = static_cast<Transfer*>(user);
    const auto stop = [transfer](HttpFailure why) {
        transfer->failure = why;
        return 1;  // makes libcurl abort the transfer
    };
    if (transfer->cancelled()) return stop(HttpFailure::Cancelled);
    if (!transfer->stallLimit) return 0;
    transfer->countProgress(downloaded, uploaded);
    const Clock::time_point now = Clock::now();
    if (transfer->moved != transfer->movedAtLastActivity) {
        transfer->movedAtLastActivity = transfer->moved;
        transfer->lastActivity = now;
    } else if (now - transfer->lastActivity > *transfer->stallLimit) {
        return stop(HttpFailure::Stalled);
    }
    if (transfer->moved - transfer->movedAtWindowStart >= transfer->lowSpeedQuota) {
        transfer->movedAtWindowStart = transfer->moved;
        transfer->windowStart = now;
    } else if (now - transfer->windowStart >= transfer->lowSpeedWindow) {
        return stop(HttpFailure::TooSlow);
    }
    return 0;
}

// libcurl reads "Name:" as "drop this header"; "Name;" is how it sends one
// with an empty value.
std::string ForCurl(const std::string& line) {
    if (!line.empty() && line.back() == ':') return line.substr(0, line.size() - 1) + ";";
    return line;
}

struct Outcome {
    Bytes body;
    Text headers;  // header lines of the final response, each ended by CR LF
    int status = 0;
    HttpFailure failure = HttpFailure::Other;
};

Outcome Perform(CURL* curl, std::string_view url, const HttpOptions& options, const std::string& proxy,
                const std::vector<std::string>& headerLines) {
    Outcome outcome;
    const std::string address(url);
    if (address.empty()) return outcome;

    curl_easy_reset(curl);
    Transfer transfer;
    transfer.curl = curl;
    transfer.cancel = options.cancel;
    if (options.recycle != nullptr) {
        // The caller's spare storage: a worker fetching one picture after
        // another allocates its body once instead of once per picture.
        transfer.body.swap(*options.recycle);
        transfer.body.clear();
        transfer.lentCapacity = transfer.body.capacity();
    }
    transfer.stallLimit = HttpStallLimit(options.timeoutSeconds);
    if (transfer.stallLimit) {
        const auto window = std::max(LowSpeedTime(), *transfer.stallLimit);
        transfer.lowSpeedWindow = window;
        transfer.lowSpeedQuota = kLowSpeedBytesPerSecond * static_cast<std::uint64_t>(window.count()) / 1000;
    }
    transfer.restartClocks(Clock::now());

    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, options.noRedirect ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, kMaxConnectsPerHandle);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);

    if (transfer.stallLimit) {
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(transfer.stallLimit->count()));
    }
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);

    if (!proxy.empty()) {
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
        // The process's proxy was asked for by name: no_proxy does not send
        // some hosts around it.
        if (options.proxyAddress.empty()) curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
        if (!options.proxyUser.empty()) {
            // Credentials answer a challenge, as a browser's would; they are
            // not pushed at a server that never asked for them.
            const int target = options.proxyCredentialFlag.value_or(1);
            if (target == 1) {
                curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, options.proxyUser.c_str());
                curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, options.proxyPassword.c_str());
                curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
            } else if (target == 0) {
                curl_easy_setopt(curl, CURLOPT_USERNAME, options.proxyUser.c_str());
                curl_easy_setopt(curl, CURLOPT_PASSWORD, options.proxyPassword.c_str());
                curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
            }
        }
    }

    int mode = options.accessMode;
    if (mode < 0 || mode > 2) mode = 0;
    const bool sendBytes = !options.postBytes.empty();
    const char* bodyData = sendBytes ? reinterpret_cast<const char*>(options.postBytes.data())
                                     : options.postText.data();
    const curl_off_t bodySize = static_cast<curl_off_t>(sendBytes ? options.postBytes.size()
                                                                  : options.postText.size());
    if (mode == 1) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, bodySize);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, bodyData);
    } else if (mode == 2) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (bodySize > 0) {
        // A GET that carries a body: sent as given, under the GET method.
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, bodySize);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, bodyData);
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "GET");
    }

    // Only our headers, in our order: libcurl's own Accept, Content-Type and
    // Expect are switched off unless we send one of that name ourselves.
    CurlList list;
    auto append = [&list](const std::string& line) {
        curl_slist* grown = curl_slist_append(list.get(), line.c_str());
        if (grown != nullptr) {
            (void)list.release();
            list.reset(grown);
        }
    };
    for (const std::string& line : headerLines) append(ForCurl(line));
    if (!HasHeaderNamed(headerLines, "Accept")) append("Accept:");
    if (!HasHeaderNamed(headerLines, "Content-Type")) append("Content-Type:");
    if (!HasHeaderNamed(headerLines, "Expect")) append("Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());

    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    // The handle outlives this call (in the pool, or a caller's request
    // object): it must not keep pointers into our locals. Reset keeps its
    // open connections.
    curl_easy_reset(curl);

    // A transfer a callback stopped may have left bytes unread on its
    // connection; libcurl closes such a connection rather than keep it.
    if (transfer.failure) {
        outcome.failure = *transfer.failure;
    } else if (result == CURLE_OK) {
        outcome.failure = HttpFailure::None;
    } else if (result == CURLE_OPERATION_TIMEDOUT) {
        outcome.failure = HttpFailure::Stalled;  // the connect limit
    } else if (result == CURLE_TOO_MANY_REDIRECTS) {
        outcome.failure = HttpFailure::TooManyRedirects;
    } else if (result == CURLE_UNSUPPORTED_PROTOCOL && IsRedirectStatus(static_cast<int>(status))) {
        // The first address was http(s), or it would not have been asked:
        // it is where a redirect led that was refused.
        outcome.failure = HttpFailure::RedirectRefused;
    }
    if (outcome.failure != HttpFailure::None && outcome.failure != HttpFailure::TooLarge) return outcome;
    outcome.status = static_cast<int>(status);
    for (const std::string& line : transfer.headerLines) {
        outcome.headers += line;
        outcome.headers += "\r\n";
    }
    if (outcome.failure == HttpFailure::None) {
        outcome.body = std::move(transfer.body);
        // Whole now: it will need no more of the budget than it holds.
        transfer.reservation.settle();
        // Without a reservation of the caller's to take it over, the body
        // leaves the budget when this returns: from then on it is the caller's.
        if (options.bodyReservation != nullptr) *options.bodyReservation = std::move(transfer.reservation);
    }
    return outcome;
}

}  // namespace

std::optional<std::chrono::milliseconds> HttpStallLimit(int timeoutSeconds) {
    if (timeoutSeconds == -1) return std::nullopt;
    if (timeoutSeconds >= 1) return std::chrono::milliseconds(std::chrono::seconds(timeoutSeconds));
    const long long override = defaultTimeoutOverrideMs.load(std::memory_order_relaxed);
    return override > 0 ? std::chrono::milliseconds(override) : kDefaultTimeout;
}

void SetDefaultHttpTimeoutForTesting(std::chrono::milliseconds timeout) {
    defaultTimeoutOverrideMs.store(timeout.count() > 0 ? timeout.count() : 0,
                                   std::memory_order_relaxed);
}

void SetHttpLowSpeedTimeForTesting(std::chrono::milliseconds time) {
    lowSpeedTimeOverrideMs.store(time.count() > 0 ? time.count() : 0, std::memory_order_relaxed);
}

void SetProcessProxy(std::string address) {
    std::lock_guard lock(processProxyLock);
    processProxy = std::move(address);
}

Bytes HttpRequest(std::string_view url, const HttpOptions& options) {
    EnsureCurlInitialised();
    const auto report = [&options](HttpFailure failure) {
        if (options.failure != nullptr) *options.failure = failure;
    };

    // Without a request object of the caller's, a pooled handle carries the
    // request, over the connection an earlier request to the host left open.
    const std::string proxy = options.proxyAddress.empty() ? ProcessProxy() : options.proxyAddress;
    std::optional<PooledCurlHandle> pooled;
    HttpConnection* connection = options.requestObject;
    if (connection == nullptr) {
        pooled.emplace(CurlPoolKey(url, proxy));
        if (pooled->get() == nullptr) {
            report(HttpFailure::Other);
            return {};
        }
    } else if (!connection->valid()) {
        report(HttpFailure::Other);
        return {};
    }

    Text block = options.extraHeaders != nullptr ? *options.extraHeaders : Text();
    block = CompleteRequestHeaders(std::move(block), url);
    if (options.extraHeaders != nullptr) *options.extraHeaders = block;

    Text cookies = options.cookies != nullptr ? *options.cookies : Text();
    const std::vector<std::string> headerLines = RequestHeaderLines(cookies, block);

    Outcome outcome;
    if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) {
        outcome.failure = HttpFailure::Cancelled;
    } else if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://")) {
        // Left to libcurl, a relative path would be guessed to be a host name
        // and looked up, and any other scheme fail like a lost connection.
        outcome.failure = HttpFailure::NotHttp;
    } else if (pooled) {
        outcome = Perform(pooled->get(), url, options, proxy, headerLines);
        pooled.reset();
    } else {
        const std::unique_lock<std::mutex> busy = connection->lock();
        outcome = Perform(connection->handle(), url, options, proxy, headerLines);
    }

    const Text headers = NormaliseSetCookieNames(outcome.headers);
    if (options.responseHeaders != nullptr) *options.responseHeaders = headers;
    if (options.statusCode != nullptr) *options.statusCode = outcome.status;

    Text returned = CookiesFromHeaders(headers);
    MergeCookies(cookies, returned);
    if (options.returnedCookies != nullptr) *options.returnedCookies = returned;
    if (options.cookies != nullptr) *options.cookies = cookies;
    report(outcome.failure);
    return std::move(outcome.body);
}

HttpAnswer HttpExchange(std::string_view url, HttpOptions options) {
    HttpAnswer answer;
    options.statusCode = &answer.status;
    options.failure = &answer.failure;
    options.responseHeaders = &answer.headers;
    answer.body = HttpRequest(url, options);
    return answer;
}

}  // namespace lumigrab
