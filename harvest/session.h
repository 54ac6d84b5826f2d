#pragma once
// One harvest: a keyword and a depth become result-page requests, read by at
// most N long-lived workers, each taking the next page as it finishes one.
// The window and lumigrab-cli both run their harvests through this; they
// differ only in what they do with each page (the sink).
//
// Before the first result page the session visits the service's front page
// once, as a browser would, and every result-page request carries the
// cookies it set. Pages reach the sink strictly in page order, one at a time,
// however the fetches overlap.
//
// Where the service no longer puts the picture array in its result page (it
// answers without one, or sends the client to its script-rendered app), that
// page and every later one of the session are asked of its JSON endpoint
// instead. A refusal of automated access ends the session's asking: pages
// not yet asked for are handed over unasked.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "harvest/json_results.h"
#include "harvest/result_page.h"
#include "harvest/service.h"
#include "workers/worker_gang.h"

namespace lumigrab {

enum class ResultSource {
    Auto,  // the result page, and the JSON endpoint once a page comes without its array
    Page,  // the result page only
    Json,  // the JSON endpoint only
};

struct HarvestSettings {
    Text serviceOrigin{kServiceOrigin};
    Text keyword;        // system text, trimmed, as it goes into the address
    int pages = 1;
    int workers = kDefaultWorkerLimit;
    Text widthFilter;    // as typed; empty ones become "0" (BuildResultPageUrl)
    Text heightFilter;
    bool visitFrontPage = true;
    // The cookies the session starts with (a cookies file the user brought);
    // the front page's join them.
    CookieJar cookies;
    ResultSource source = ResultSource::Auto;
    // Between one result request and the next, whichever worker makes them:
    // this long spread over 0.5x to 1.5x. Zero: no pause.
    std::chrono::milliseconds wait{0};
    // Result requests that met a busy or briefly unreachable host are asked
    // again up to this many more times (net/retry.h); a refusal never is.
    int retries = 0;
    JsonFilters jsonFilters;  // only the JSON endpoint takes them
    // Searches that follow another in one run go on with its session: the
    // cookies its front-page visit got (set: no visit of our own), and the
    // time its pacing allowed the next result request.
    std::optional<CookieJar> frontPageCookies;
    std::chrono::steady_clock::time_point firstRequestAt{};
    // The clock that pacing and retries keep time by, and their pause, which
    // a stop cuts short (false then). Unset: the steady clock and the gang's
    // own pause; a test gives its own and waits for nothing.
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<bool(std::chrono::milliseconds)> pause;
};

// What one result page gave.
struct HarvestedPage {
    std::int32_t index = 0;       // 0 for the first page
    bool fetched = false;         // a request was made (false: no worker, or a refusal came first)
    bool fromJson = false;        // asked of the JSON endpoint
    ServiceAnswer answer;         // of the last request; the body is dropped once read
    bool hasArray = false;        // the pictures were there (array or JSON data), readable or not
    PictureArrayReading reading;  // the pictures, with an empty save name and state
    // The service's own words when it refused the request (UTF-8): the
    // antiFlag message, the verification page's title, "HTTP 403" or "HTTP 429".
    std::string refusal;
};

class HarvestSink {
public:
    virtual ~HarvestSink() = default;
    // Whether page `index` is to be asked for at all, asked once per page
    // in page order, by one worker at a time, and not after a refusal. False
    // asks no further page: those under way are still handed over, then
    // finished() comes. It may wait (never on the window thread's behalf),
    // say until the pictures in hand show whether more are needed.
    virtual bool askPage(std::int32_t /*index*/) { return true; }
    // A worker takes page `index` (pages are taken in increasing order).
    virtual void pageStarted(std::int32_t /*index*/) {}
    // Page `page.index`, once every page before it was handed over. Calls
    // never overlap; a slow one holds up only the hand-over of later pages.
    virtual void pageRead(HarvestedPage page) = 0;
    // After the last page's pageRead, once per session. Not called when the
    // gang was stopped before every page was handed over.
    virtual void finished() = 0;
};

class HarvestSession : public std::enable_shared_from_this<HarvestSession> {
public:
    HarvestSession(HarvestSettings settings, std::shared_ptr<HarvestSink> sink);

    // Starts the workers in `gang` and returns at once. Returns how many
    // started; with none, every page is handed over unfetched (so the sink
    // still sees the run to its end).
    int start(WorkerGang& gang);

    // The cookies the session started with, and those the front page set
    // once it was visited.
    CookieJar cookies() const;
    // Why the front-page visit got no cookies, when it did not.
    std::string frontPageNote() const;
    // Whether the session visited the front page or was given its cookies.
    bool visited() const;
    // When pacing allows the next result request.
    std::chrono::steady_clock::time_point nextRequestAt();

private:
    void work(const std::atomic<bool>* cancel, const WorkerGang& gang);
    void visitFrontPageOnce(const std::atomic<bool>* cancel);
    HarvestedPage fetchPage(std::int32_t index, const std::atomic<bool>* cancel, const WorkerGang& gang);
    void askJson(HarvestedPage& page, const std::atomic<bool>* cancel, const WorkerGang& gang);
    // One result request: paced, and asked again while the host is busy.
    ServiceAnswer ask(const Text& url, std::string_view headers, const std::atomic<bool>* cancel,
                      const WorkerGang& gang);
    // The next page for a worker to ask, if any is left and the sink wants it.
    std::optional<std::int32_t> takePage(const WorkerGang& gang);
    // The page after the last to be handed over.
    std::int32_t pageEnd() const;
    void handOver(HarvestedPage page);
    // Tells the sink the session is over, once, when every page is handed over.
    void finishIfDone();

    const HarvestSettings settings_;
    const std::shared_ptr<HarvestSink> sink_;
    std::mutex takeLock_;  // held while a page is taken, the sink's say included
    mutable std::mutex countLock_;
    std::int32_t nextPage_ = 0;  // pages taken
    bool closed_ = false;        // no page is taken after nextPage_
    std::atomic<bool> useJson_{false};  // a result page came without its array
    std::atomic<bool> refused_{false};

    mutable std::mutex visitLock_;  // held for the whole visit: later workers wait for its cookies
    bool visited_ = false;
    CookieJar cookies_;
    std::string frontPageNote_;

    std::mutex paceLock_;
    std::chrono::steady_clock::time_point nextRequestAt_{};

    std::mutex handOverLock_;  // held while a page goes to the sink
    std::int32_t nextHandOver_ = 0;
    std::vector<HarvestedPage> waiting_;  // read, not yet handed over
    bool finished_ = false;
};

}  // namespace lumigrab
