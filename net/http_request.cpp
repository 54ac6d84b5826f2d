#include "net/http_request.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "net/cookies.h"
#include "net/http_connection.h"
#include "net/http_headers.h"

namespace lumigrab {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kDefaultTimeout{15000};
// Enough for any real header block; a server that sends more is not one we
// want to keep listening to.
constexpr std::size_t kMaxResponseHeaderBytes = std::size_t{1} << 20;
constexpr long kMaxRedirects = 10;

std::atomic<long long> defaultTimeoutOverrideMs{0};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

bool HasHeaderNamed(const std::vector<std::string>& lines, std::string_view name) {
    for (const std::string& line : lines) {
        if (StartsWithNoCase(line, name) && line.size() > name.size() && line[name.size()] == ':')
            return true;
    }
    return false;
}

// What one transfer collects through libcurl's callbacks.
struct Transfer {
    CURL* curl = nullptr;
    Bytes body;
    bool bodyTooLarge = false;
    std::vector<std::string> headerLines;
    std::size_t headerBytes = 0;

    std::optional<std::chrono::milliseconds> stallLimit;
    Clock::time_point lastActivity = Clock::now();
    curl_off_t lastDown = 0;
    curl_off_t lastUp = 0;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (n > kMaxResponseBody - transfer->body.size()) {
        transfer->bodyTooLarge = true;
        return 0;  // makes libcurl abort the transfer
    }
    if (transfer->body.empty()) {
        // A declared length lets us refuse an oversized body before it
        // arrives, and spares the copies of a growing buffer otherwise.
        curl_off_t declared = -1;
        curl_easy_getinfo(transfer->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
        if (declared > static_cast<curl_off_t>(kMaxResponseBody)) {
            transfer->bodyTooLarge = true;
            return 0;
        }
        if (declared > 0) transfer->body.reserve(static_cast<size_t>(declared));
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    transfer->body.insert(transfer->body.end(), bytes, bytes + n);
    return n;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t n = size * count;
    std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
        // A new response begins (after a redirect or an interim 1xx): only the
        // last one is reported, and any body seen so far belonged to another.
        transfer->headerLines.clear();
        transfer->headerBytes = 0;
        transfer->body.clear();
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

int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* transfer = static_cast<Transfer*>(user);
    if (!transfer->stallLimit) return 0;
    const Clock::time_point now = Clock::now();
    if (downloaded != transfer->lastDown || uploaded != transfer->lastUp) {
        transfer->lastDown = downloaded;
        transfer->lastUp = uploaded;
        transfer->lastActivity = now;
        return 0;
    }
    return now - transfer->lastActivity > *transfer->stallLimit ? 1 : 0;
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
};

Outcome Perform(CURL* curl, std::string_view url, const HttpOptions& options,
                const std::vector<std::string>& headerLines) {
    Outcome outcome;
    const std::string address(url);
    if (address.empty()) return outcome;

    curl_easy_reset(curl);
    Transfer transfer;
    transfer.curl = curl;
    transfer.stallLimit = HttpStallLimit(options.timeoutSeconds);

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

    if (!options.proxyAddress.empty()) {
        curl_easy_setopt(curl, CURLOPT_PROXY, options.proxyAddress.c_str());
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
    // The handle may outlive this call (a caller's request object): it must
    // not keep pointers into our locals. Reset keeps its open connections.
    curl_easy_reset(curl);

    if (result != CURLE_OK && !transfer.bodyTooLarge) return outcome;
    outcome.status = static_cast<int>(status);
    for (const std::string& line : transfer.headerLines) {
        outcome.headers += line;
        outcome.headers += "\r\n";
    }
    if (result == CURLE_OK) outcome.body = std::move(transfer.body);
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

Bytes HttpRequest(std::string_view url, const HttpOptions& options) {
    EnsureCurlInitialised();

    std::optional<HttpConnection> own;
    HttpConnection* connection = options.requestObject;
    if (connection == nullptr) connection = &own.emplace();
    if (!connection->valid()) return {};

    Text block = options.extraHeaders != nullptr ? *options.extraHeaders : Text();
    block = CompleteRequestHeaders(std::move(block), url);
    if (options.extraHeaders != nullptr) *options.extraHeaders = block;

    Text cookies = options.cookies != nullptr ? *options.cookies : Text();
    const std::vector<std::string> headerLines = RequestHeaderLines(cookies, block);

    Outcome outcome;
    {
        const std::unique_lock<std::mutex> busy = connection->lock();
        outcome = Perform(connection->handle(), url, options, headerLines);
    }

    const Text headers = NormaliseSetCookieNames(outcome.headers);
    if (options.responseHeaders != nullptr) *options.responseHeaders = headers;
    if (options.statusCode != nullptr) *options.statusCode = outcome.status;

    Text returned = CookiesFromHeaders(headers);
    MergeCookies(cookies, returned);
    if (options.returnedCookies != nullptr) *options.returnedCookies = returned;
    if (options.cookies != nullptr) *options.cookies = cookies;
    return std::move(outcome.body);
}

}  // namespace lumigrab
