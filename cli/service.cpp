#include "cli/service.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "harvest/result_page.h"
#include "text/text.h"

namespace lumigrab::cli {
namespace {

constexpr int kMaxRedirects = 10;
// A title sits in a page's head; no need to look through a whole large body.
constexpr std::size_t kTitleSearchBytes = 256 * 1024;
constexpr std::size_t kMaxTitleBytes = 200;
constexpr std::size_t kMaxShownAddress = 300;
constexpr std::size_t kSnippetBytes = 60;

struct CurlUrlFree {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlTextFree {
    void operator()(char* text) const { curl_free(text); }
};
using CurlText = std::unique_ptr<char, CurlTextFree>;

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

bool IsRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string LocationOf(const Text& headers) {
    for (const Text& line : SplitText(headers, "\r\n")) {
        const Text name = HeaderName(line);
        if (name.size() == 8 && FindNoCase(name, "location") == 0) return HeaderValue(line);
    }
    return {};
}

// `location` against `base`, as a browser resolves it; empty unless the
// result is an http or https address.
std::string Resolve(const std::string& base, const std::string& location) {
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

}  // namespace

std::string_view FailureText(HttpFailure failure) {
    switch (failure) {
        case HttpFailure::Cancelled: return "stopped";
        case HttpFailure::TooSlow: return "too slow";
        case HttpFailure::Stalled: return "stalled";
        case HttpFailure::TooLarge: return "too large";
        case HttpFailure::Other: return "no connection";
        case HttpFailure::None: break;
    }
    return "no response";
}

ServiceAnswer GetFollowing(std::string_view url, Text& cookies, const std::atomic<bool>* cancel) {
    ServiceAnswer answer;
    std::string address(url);
    for (int hop = 0;; ++hop) {
        Text headers;
        HttpOptions options;
        options.cookies = &cookies;
        options.responseHeaders = &headers;
        options.statusCode = &answer.status;
        options.noRedirect = true;
        options.cancel = cancel;
        options.failure = &answer.failure;
        answer.body = HttpRequest(address, options);
        if (!IsRedirect(answer.status)) return answer;
        const std::string location = LocationOf(headers);
        if (location.empty()) return answer;
        if (hop == kMaxRedirects) {
            answer.stopped = "more than " + std::to_string(kMaxRedirects) + " redirects";
            return answer;
        }
        const std::string next = Resolve(address, location);
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

Text WarmUp(const std::atomic<bool>* cancel, std::string& note) {
    Text cookies;
    const ServiceAnswer answer = GetFollowing(std::string(kServiceOrigin) + "/", cookies, cancel);
    if (answer.status == 0) {
        note = "the front page did not answer (" + std::string(FailureText(answer.failure)) +
               "); searching without session cookies";
        return {};
    }
    return cookies;
}

Harvest HarvestPages(const Options& options, const Text& cookies, WorkerGang& gang) {
    struct Page {
        bool answered = false;
        bool hasArray = false;
        std::vector<ImageRecord> records;
        std::string problem;
    };
    // Shared with the page threads; each writes only its own element, and
    // waitIdle below orders those writes before the reads.
    auto pages = std::make_shared<std::vector<Page>>(static_cast<std::size_t>(options.depth));
    const std::atomic<bool>* cancel = gang.cancelFlag();
    Harvest harvest;
    for (int i = 0; i < options.depth; ++i) {
        const Text url = BuildResultPageUrl(kServiceOrigin, options.keyword, PageOffset(i),
                                            options.widthFilter, options.heightFilter);
        const auto start = gang.startWhenFree(options.threads, [pages, i, url, cookies, cancel] {
            // Each page gets the warm-up's cookies as they were, whatever
            // the other pages are told to set meanwhile.
            Text jar = cookies;
            const ServiceAnswer answer = GetFollowing(url, jar, cancel);
            Page& page = (*pages)[static_cast<std::size_t>(i)];
            page.answered = answer.status != 0;
            const Text array = CutPictureArray(answer.body);
            page.hasArray = !array.empty();
            if (page.hasArray) {
                PictureArrayReading reading = ReadPictureArray(array);
                page.records = std::move(reading.records);
                if (reading.unreadable) page.problem = "its picture data is too large to read";
            } else {
                page.problem = DescribeAnswer(answer);
            }
        });
        if (start == WorkerGang::Start::Stopped) break;
        if (start == WorkerGang::Start::Refused)
            (*pages)[static_cast<std::size_t>(i)].problem = "no thread could be started for it";
    }
    while (!gang.waitIdle(std::chrono::seconds(1))) {
    }
    harvest.stopped = gang.stopped();

    int position = 0;
    const std::string letters = std::to_string(options.letters);
    for (std::size_t i = 0; i < pages->size(); ++i) {
        Page& page = (*pages)[i];
        if (page.answered) ++harvest.pagesAnswered;
        if (!page.hasArray) {
            harvest.problems.push_back("page " + std::to_string(i + 1) + ": " + page.problem);
            continue;
        }
        ++harvest.pagesWithArray;
        if (!page.problem.empty())
            harvest.problems.push_back("page " + std::to_string(i + 1) + ": " + page.problem);
        for (ImageRecord& record : page.records) {
            record.saveName = ComposeSaveName(options.namePrefix, letters, ++position);
            harvest.records.push_back(std::move(record));
        }
    }
    return harvest;
}

}  // namespace lumigrab::cli
