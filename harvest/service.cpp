#include "harvest/service.h"

#include <algorithm>

#include "net/redirects.h"
#include "text/encoding.h"
#include "text/text.h"

namespace lumigrab {
namespace {

constexpr int kMaxRedirects = 10;
// A title sits in a page's head; no need to look through a whole large body.
constexpr std::size_t kTitleSearchBytes = 256 * 1024;
constexpr std::size_t kMaxTitleBytes = 200;
constexpr std::size_t kMaxShownAddress = 300;
constexpr std::size_t kSnippetBytes = 60;

// Keeps at most `limit` bytes without cutting a UTF-8 character in two.
std::string CutUtf8(std::string text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text + "…";
}

// Characters that change how a terminal shows what follows: the C1 controls
// (U+0080-U+009F, some terminals take U+009B as an escape) and the marks and
// overrides that reorder text.
bool IsHiddenControl(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// Whatever a server sent, made safe to put on a terminal: runs of white space
// and C0 controls (escape sequences among them) become one space; C1 controls
// and direction overrides go; bytes that are not UTF-8 show as U+FFFD.
std::string Printable(std::string_view text, std::size_t limit) {
    std::string out;
    bool space = false;
    for (std::size_t at = 0; at < text.size();) {
        const char32_t c = NextUtf8Character(text, at).value_or(U'\uFFFD');
        if (c <= 0x20 || c == 0x7F) {
            space = !out.empty();
            continue;
        }
        if (IsHiddenControl(c)) continue;
        if (space) out += ' ';
        space = false;
        AppendUtf8(out, c);
    }
    return CutUtf8(std::move(out), limit);
}

}  // namespace

ServiceAnswer GetFollowing(std::string_view url, CookieJar& cookies, const std::atomic<bool>* cancel,
                           std::string_view extraHeaders) {
    ServiceAnswer answer;
    std::string address(url);
    for (int hop = 0;; ++hop) {
        Text headers;
        // Each hop carries only the cookies its own address may have.
        Text sent = cookies.cookiesFor(address);
        Text block(extraHeaders);
        HttpOptions options;
        if (!block.empty()) options.extraHeaders = &block;
        options.cookies = &sent;
        options.responseHeaders = &headers;
        options.statusCode = &answer.status;
        options.noRedirect = true;
        options.cancel = cancel;
        options.failure = &answer.failure;
        answer.body = HttpRequest(address, options);
        answer.headers = headers;
        cookies.takeFrom(address, headers);
        if (!IsRedirectStatus(answer.status)) return answer;
        const std::string location = LocationOf(headers);
        if (location.empty()) return answer;
        if (hop == kMaxRedirects) {
            answer.stopped = "more than " + std::to_string(kMaxRedirects) + " redirects";
            return answer;
        }
        const std::string next = ResolveHttpAddress(address, location);
        if (next.empty()) {
            answer.stopped = "redirect to " + Printable(location, kMaxShownAddress) +
                             ", not an http(s) address";
            return answer;
        }
        answer.redirects.push_back({answer.status, next});
        address = next;
    }
}

std::string PageTitle(const Bytes& body) {
    const std::string_view text(reinterpret_cast<const char*>(body.data()),
                                std::min(body.size(), kTitleSearchBytes));
    const std::size_t open = FindNoCase(text, "<title");
    if (open == std::string_view::npos) return {};
    const std::size_t start = text.find('>', open);
    if (start == std::string_view::npos) return {};
    const std::size_t end = FindNoCase(text, "</title", start);
    if (end == std::string_view::npos) return {};
    return ShownWords(text.substr(start + 1, end - start - 1));
}

std::string ShownWords(std::string_view words) { return Printable(words, kMaxTitleBytes); }

std::string DescribeAnswer(const ServiceAnswer& answer) {
    std::string out;
    for (const Redirect& redirect : answer.redirects) {
        out += "HTTP " + std::to_string(redirect.status) + " to " +
               Printable(redirect.target, kMaxShownAddress) + "; ";
    }
    if (answer.status == 0) {
        out += "no answer (" + std::string(FailureText(answer.failure)) + ")";
    } else {
        out += "HTTP " + std::to_string(answer.status);
        if (answer.failure == HttpFailure::TooLarge) {
            out += ", page too large (over " + std::to_string(kMaxResponseBody >> 20) + " MiB)";
        } else if (answer.body.empty()) {
            out += ", empty body";
        } else {
            out += ", " + std::to_string(answer.body.size()) + " bytes";
            const std::string title = PageTitle(answer.body);
            if (!title.empty()) {
                out += ", title \"" + title + "\"";
            } else {
                const std::string_view text(reinterpret_cast<const char*>(answer.body.data()),
                                            std::min(answer.body.size(), kSnippetBytes * 4));
                out += ", starting \"" + Printable(text, kSnippetBytes) + "\"";
            }
        }
    }
    if (!answer.stopped.empty()) out += "; " + answer.stopped;
    return out;
}

std::string RefusalOf(const ServiceAnswer& answer) {
    static constexpr std::string_view kVerifyHost = "wappass.baidu.com";
    static constexpr std::string_view kVerifyTitle = "百度安全验证";
    if (answer.status == 403 || answer.status == 429) return "HTTP " + std::to_string(answer.status);
    const std::string title = PageTitle(answer.body);
    bool verification = title.find(kVerifyTitle) != std::string::npos;
    for (const Redirect& redirect : answer.redirects) {
        const std::optional<UrlParts> parts = UrlPartsOf(redirect.target);
        if (parts && parts->host == kVerifyHost) verification = true;
    }
    if (!verification) return {};
    return title.empty() ? std::string(kVerifyTitle) : title;
}

CookieJar VisitFrontPage(std::string_view origin, const std::atomic<bool>* cancel, std::string& note,
                         CookieJar cookies) {
    CookieJar visited = cookies;
    const ServiceAnswer answer = GetFollowing(std::string(origin) + "/", visited, cancel);
    if (answer.status == 0) {
        note = "the front page did not answer (" + std::string(FailureText(answer.failure)) +
               "); searching without session cookies";
        return cookies;
    }
    return visited;
}

}  // namespace lumigrab
