#pragma once
// Talking to the image-search service: the front-page visit that gets the
// session cookies, and the result pages.
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "workers/worker_gang.h"
#include "cli/options.h"
#include "harvest/image_record.h"
#include "net/http_request.h"

namespace lumigrab::cli {

// One GET and the redirects it led to, each followed by us so that a user
// who is turned away learns where to.
struct Redirect {
    int status = 0;      // 301, 302, 303, 307 or 308
    std::string target;  // resolved against the address that answered
};
struct ServiceAnswer {
    std::vector<Redirect> redirects;     // in the order followed
    int status = 0;                      // of the last response; 0: none came
    HttpFailure failure = HttpFailure::None;
    std::string stopped;                 // why redirects were not followed further
    Bytes body;
};

// A request's failure in a word or two: "too slow", "no connection", …
std::string_view FailureText(HttpFailure failure);

// GET with HttpRequest's default headers; `cookies` goes out with every hop
// and takes in what each response sets. At most 10 redirects, http(s) only.
ServiceAnswer GetFollowing(std::string_view url, Text& cookies, const std::atomic<bool>* cancel);

// "HTTP 302 to https://…; HTTP 200, 1234 bytes, title “…”": what a person
// needs to see what the service did. Printable on a terminal.
std::string DescribeAnswer(const ServiceAnswer& answer);

// The page's <title>, whitespace collapsed, control characters dropped,
// at most 200 bytes; empty when there is none.
std::string PageTitle(const Bytes& body);

// Visits the front page once and returns the cookies it set. Empty when it
// failed; `note` then says what happened.
Text WarmUp(const std::atomic<bool>* cancel, std::string& note);

struct Harvest {
    std::vector<ImageRecord> records;  // in page order, save names composed
    int pagesWithArray = 0;
    int pagesAnswered = 0;             // a response came, array or not
    std::vector<std::string> problems; // one line per page without an array
    bool stopped = false;              // the gang was stopped before the end
};

// Reads options.depth result pages, at most options.threads at once, each
// request carrying `cookies`. Waits for every page it started.
Harvest HarvestPages(const Options& options, const Text& cookies, WorkerGang& gang);

}  // namespace lumigrab::cli
