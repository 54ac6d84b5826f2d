#include "harvest/service.h"

#include <algorithm>

#include "net/redirects.h"
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

// Whatever a server sent, made safe to put on a terminal: runs of white space
// and control characters (escape sequences among them) become one space.
std::string Printable(std::string_view text, std::size_t limit) {
    std::string out;
    bool space = false;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
    return CutUtf8(std::move(out), limit);
}

}  // namespace

ServiceAnswer GetFollowing(std::string_view url, Text& cookies, const std::atomic<bool>* cancel,
                           std::string_view extraHeaders) {
    ServiceAnswer answer;
    std::string address(url);
    for (int hop = 0;; ++hop) {
        Text headers;
        Text block(extraHeaders);
        HttpOptions options;
        if (!block.empty()) options.extraHeaders = &block;
        options.cookies = &cookies;
        options.responseHeaders = &headers;
        options.statusCode = &answer.status;
        options.noRedirect = true;
        options.cancel = cancel;
        options.failure = &answer.failure;
        answer.body = HttpRequest(address, options);
        answer.headers = headers;
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
    return Printable(text.substr(start + 1, end - start - 1), kMaxTitleBytes);
}

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
        if (answer.body.empty()) {
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
        // The host of "scheme://host[:port]/...", letter case aside.
        const std::size_t start = redirect.target.find("://");
        if (start == std::string::npos) continue;
        const std::string_view rest = std::string_view(redirect.target).substr(start + 3);
        const std::string_view host = rest.substr(0, rest.find_first_of(":/?#"));
        if (host.size() == kVerifyHost.size() && FindNoCase(host, kVerifyHost) == 0) verification = true;
    }
    if (!verification) return {};
    return title.empty() ? std::string(kVerifyTitle) : title;
}

Text VisitFrontPage(std::string_view origin, const std::atomic<bool>* cancel, std::string& note) {
    Text cookies;
    const ServiceAnswer answer = GetFollowing(std::string(origin) + "/", cookies, cancel);
    if (answer.status == 0) {
        note = "the front page did not answer (" + std::string(FailureText(answer.failure)) +
               "); searching without session cookies";
        return {};
    }
    return cookies;
}

}  // namespace lumigrab
