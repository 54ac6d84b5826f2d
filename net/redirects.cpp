#include "net/redirects.h"

#include <curl/curl.h>

#include <memory>

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

bool IsRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string LocationOf(const Text& headers) {
    for (const Text& line : SplitText(headers, "\r\n")) {
        const Text name = HeaderName(line);
        if (name.size() == 8 && FindNoCase(name, "location") == 0) return HeaderValue(line);
    }
    return {};
}

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
        case HttpFailure::Other: return "no connection";
        case HttpFailure::None: break;
    }
    return "no response";
}

}  // namespace lumigrab
