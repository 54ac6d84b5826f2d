#include "net/redirects.h"

#include <curl/curl.h>

#include <memory>

#include "net/http_headers.h"
#include "text/text.h"

namespace lumigrab {
namespace {

struct CurlUrlFree {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlTextFree {
    void operator()(char* text) const { curl_free(text); }
};
using CurlText = std::unique_ptr<char, CurlTextFree>;

}  // namespace

std::optional<UrlParts> UrlPartsOf(std::string_view url) {
    std::unique_ptr<CURLU, CurlUrlFree> handle(curl_url());
    const std::string text(url);
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    UrlParts parts;
    const auto get = [&](CURLUPart which, std::string& out) {
        char* part = nullptr;
        if (curl_url_get(handle.get(), which, &part, 0) != CURLUE_OK) return false;
        const CurlText owned(part);
        out = owned.get();
        return true;
    };
    if (!get(CURLUPART_SCHEME, parts.scheme) || !get(CURLUPART_HOST, parts.host)) return std::nullopt;
    if (!get(CURLUPART_PATH, parts.path) || parts.path.empty() || parts.path[0] != '/') parts.path = "/";
    for (char& c : parts.host) c = AsciiLower(c);
    return parts;
}

std::string UrlOrigin(std::string_view url) {
    const std::size_t scheme = url.find("://");
    const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    std::string origin(url.substr(0, url.find_first_of("/?#", start)));
    for (char& c : origin) c = AsciiLower(c);
    return origin;
}

bool IsRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string LocationOf(const Text& headers) { return ResponseHeader(headers, "Location").value_or(Text()); }

std::string ResolveHttpAddress(const std::string& base, const std::string& location) {
    std::unique_ptr<CURLU, CurlUrlFree> url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK)
        return {};
    char* part = nullptr;
    if (curl_url_get(url.get(), CURLUPART_SCHEME, &part, 0) != CURLUE_OK) return {};
    const CurlText scheme(part);
    const std::string_view name(scheme.get());
    if (name != "http" && name != "https") return {};
    if (curl_url_get(url.get(), CURLUPART_URL, &part, 0) != CURLUE_OK) return {};
    const CurlText whole(part);
    return whole.get();
}

std::string_view FailureText(HttpFailure failure) {
    switch (failure) {
        case HttpFailure::Cancelled: return "stopped";
        case HttpFailure::TooSlow: return "too slow";
        case HttpFailure::Stalled: return "stalled";
        case HttpFailure::TooLarge: return "too large";
        case HttpFailure::RedirectRefused: return "redirect to a non-http address";
        case HttpFailure::TooManyRedirects: return "too many redirects";
        case HttpFailure::NotHttp: return "not an http(s) address";
        case HttpFailure::Other: return "no connection";
        case HttpFailure::None: break;
    }
    return "no response";
}

}  // namespace lumigrab
