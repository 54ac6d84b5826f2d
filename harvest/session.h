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
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "harvest/result_page.h"
#include "harvest/service.h"
#include "workers/worker_gang.h"

namespace lumigrab {

struct HarvestSettings {
    Text serviceOrigin{kServiceOrigin};
    Text keyword;        // system text, trimmed, as it goes into the address
    int pages = 1;
    int workers = kDefaultWorkerLimit;
    Text widthFilter;    // as typed; empty ones become "0" (BuildResultPageUrl)
    Text heightFilter;
    bool visitFrontPage = true;
};

// What one result page gave.
struct HarvestedPage {
    std::int32_t index = 0;       // 0 for the first page
    bool fetched = false;         // a request was made (false: the run ended first)
    ServiceAnswer answer;         // the body is dropped once the array is cut out
    bool hasArray = false;        // the picture array's markers were found
    PictureArrayReading reading;  // the pictures, with an empty save name and state
};

class HarvestSink {
public:
    virtual ~HarvestSink() = default;
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

    // The cookies the front page set; empty before the visit or without one.
    CookieJar cookies() const;
    // Why the front-page visit got no cookies, when it did not.
    std::string frontPageNote() const;

private:
    void work(const std::atomic<bool>* cancel, const WorkerGang& gang);
    void visitFrontPageOnce(const std::atomic<bool>* cancel);
    HarvestedPage fetchPage(std::int32_t index, const std::atomic<bool>* cancel);
    void handOver(HarvestedPage page);

    const HarvestSettings settings_;
    const std::shared_ptr<HarvestSink> sink_;
    std::atomic<std::int32_t> nextPage_{0};

    mutable std::mutex visitLock_;  // held for the whole visit: later workers wait for its cookies
    bool visited_ = false;
    CookieJar cookies_;
    std::string frontPageNote_;

    std::mutex handOverLock_;  // held while a page goes to the sink
    std::int32_t nextHandOver_ = 0;
    std::vector<HarvestedPage> waiting_;  // read, not yet handed over
};

}  // namespace lumigrab
