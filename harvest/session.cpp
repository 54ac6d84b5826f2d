#include "harvest/session.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "harvest/json_results.h"
#include "net/retry.h"

namespace lumigrab {

HarvestSession::HarvestSession(HarvestSettings settings, std::shared_ptr<HarvestSink> sink)
    : settings_(std::move(settings)), sink_(std::move(sink)), nextRequestAt_(settings_.firstRequestAt) {
    // A session going on from another already holds the cookies file's
    // cookies in the jar its visit left.
    if (settings_.frontPageCookies) {
        cookies_ = *settings_.frontPageCookies;
        visited_ = true;
    } else {
        cookies_ = settings_.cookies;
    }
}

int HarvestSession::start(WorkerGang& gang) {
    const int workers = std::min(WorkerLimit(settings_.workers), std::max(settings_.pages, 1));
    int started = 0;
    const std::atomic<bool>* cancel = gang.cancelFlag();
    for (int i = 0; i < workers; ++i) {
        auto self = shared_from_this();
        if (gang.startIfFree(workers, [self, cancel, gang] { self->work(cancel, gang); }) ==
            WorkerGang::Start::Started)
            ++started;
    }
    if (started == 0 && !gang.stopped()) {
        // Without a worker no page can be read; the run still has to end.
        for (std::int32_t page = 0; page < settings_.pages; ++page) {
            HarvestedPage unread;
            unread.index = page;
            handOver(std::move(unread));
        }
    }
    return started;
}

CookieJar HarvestSession::cookies() const {
    std::lock_guard lock(visitLock_);
    return cookies_;
}

std::string HarvestSession::frontPageNote() const {
    std::lock_guard lock(visitLock_);
    return frontPageNote_;
}

std::optional<std::int32_t> HarvestSession::takePage(const WorkerGang& gang) {
    std::lock_guard take(takeLock_);
    std::int32_t index = 0;
    {
        std::lock_guard count(countLock_);
        if (closed_ || nextPage_ >= settings_.pages) return std::nullopt;
        index = nextPage_;
    }
    // After a refusal the pages left are handed over unasked, without
    // troubling the sink.
    const bool wanted = refused_.load() || sink_->askPage(index);
    if (gang.stopped()) return std::nullopt;
    {
        std::lock_guard count(countLock_);
        if (wanted) {
            ++nextPage_;
            return index;
        }
        closed_ = true;
    }
    finishIfDone();
    return std::nullopt;
}

std::int32_t HarvestSession::pageEnd() const {
    std::lock_guard count(countLock_);
    return closed_ ? nextPage_ : settings_.pages;
}

bool HarvestSession::visited() const {
    std::lock_guard lock(visitLock_);
    return visited_;
}

std::chrono::steady_clock::time_point HarvestSession::nextRequestAt() {
    std::lock_guard lock(paceLock_);
    return nextRequestAt_;
}

void HarvestSession::work(const std::atomic<bool>* cancel, const WorkerGang& gang) {
    for (;;) {
        if (gang.stopped()) return;
        const std::optional<std::int32_t> index = takePage(gang);
        if (!index) return;
        sink_->pageStarted(*index);
        HarvestedPage page = fetchPage(*index, cancel, gang);
        if (gang.stopped()) return;
        handOver(std::move(page));
    }
}

void HarvestSession::visitFrontPageOnce(const std::atomic<bool>* cancel) {
    std::lock_guard lock(visitLock_);
    if (visited_ || !settings_.visitFrontPage) return;
    visited_ = true;
    cookies_ = VisitFrontPage(settings_.serviceOrigin, cancel, frontPageNote_, settings_.cookies);
}

HarvestedPage HarvestSession::fetchPage(std::int32_t index, const std::atomic<bool>* cancel,
                                        const WorkerGang& gang) {
    HarvestedPage page;
    page.index = index;
    // After a refusal, asking again only deepens it.
    if (refused_.load()) return page;
    visitFrontPageOnce(cancel);
    if (refused_.load()) return page;
    page.fetched = true;
    const bool json = settings_.source == ResultSource::Json ||
                      (settings_.source == ResultSource::Auto && useJson_.load());
    if (json) {
        askJson(page, cancel, gang);
        return page;
    }
    const Text url = BuildResultPageUrl(settings_.serviceOrigin, settings_.keyword, PageOffset(index),
                                        settings_.widthFilter, settings_.heightFilter);
    // Each page gets the visit's cookies as they were, whatever the other
    // pages are told to set meanwhile.
    page.answer = ask(url, {}, cancel, gang);
    page.refusal = RefusalOf(page.answer);
    if (!page.refusal.empty()) {
        refused_ = true;
        return page;
    }
    const Text array = CutPictureArray(page.answer.body);
    page.hasArray = !array.empty();
    if (page.hasArray) {
        // The body has served its purpose; a page that failed keeps it for
        // whoever describes what came back.
        Bytes().swap(page.answer.body);
        page.reading = ReadPictureArray(array);
        return page;
    }
    // An answer without the array: the service has moved its results.
    if (settings_.source == ResultSource::Auto && page.answer.status != 0) {
        useJson_ = true;
        askJson(page, cancel, gang);
    }
    return page;
}

void HarvestSession::askJson(HarvestedPage& page, const std::atomic<bool>* cancel, const WorkerGang& gang) {
    page.fromJson = true;
    const Text url = BuildJsonPageUrl(settings_.serviceOrigin, settings_.keyword, page.index,
                                      settings_.widthFilter, settings_.heightFilter, settings_.jsonFilters);
    page.answer = ask(url, JsonPageHeaders(settings_.serviceOrigin), cancel, gang);
    page.refusal = RefusalOf(page.answer);
    if (page.refusal.empty()) {
        JsonPageReading reading = ReadJsonPage(
            std::string_view(reinterpret_cast<const char*>(page.answer.body.data()), page.answer.body.size()));
        if (reading.refusal) {
            page.refusal = *reading.refusal;
        } else if (reading.isData) {
            page.hasArray = true;
            page.reading = std::move(reading.pictures);
            Bytes().swap(page.answer.body);
        }
    }
    if (!page.refusal.empty()) refused_ = true;
}

ServiceAnswer HarvestSession::ask(const Text& url, std::string_view headers, const std::atomic<bool>* cancel,
                                  const WorkerGang& gang) {
    std::mt19937 random(std::random_device{}());
    const auto now = [this] { return settings_.now ? settings_.now() : std::chrono::steady_clock::now(); };
    const auto pause = [this, &gang](std::chrono::milliseconds duration) {
        return settings_.pause ? settings_.pause(duration) : gang.sleepUnlessStopped(duration);
    };
    RetrySchedule schedule(RetryRules{settings_.retries}, now());
    for (;;) {
        // Result requests keep their distance, whichever worker makes them.
        if (settings_.wait.count() > 0) {
            std::chrono::steady_clock::time_point at;
            {
                std::lock_guard lock(paceLock_);
                at = std::max(now(), nextRequestAt_);
                const double spread = std::uniform_real_distribution<double>(0.5, 1.5)(random);
                nextRequestAt_ = at + std::chrono::milliseconds(
                                          static_cast<long long>(static_cast<double>(settings_.wait.count()) * spread));
            }
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(at - now());
            if (wait.count() > 0 && !pause(wait)) return {};
        }
        // Each request gets the visit's cookies as they were, whatever the
        // other pages are told to set meanwhile.
        CookieJar jar = cookies();
        ServiceAnswer answer = GetFollowing(url, jar, cancel, headers);
        const std::optional<std::chrono::seconds> retryAfter = RetryAfterOf(answer.status, answer.headers);
        const std::optional<std::chrono::milliseconds> again =
            schedule.next(answer.status, answer.failure, retryAfter, now(), random);
        if (!again) {
            answer.stopped = RefusedWaitText(retryAfter);
            return answer;
        }
        if (!pause(*again)) return answer;
    }
}

void HarvestSession::handOver(HarvestedPage page) {
    std::lock_guard lock(handOverLock_);
    waiting_.push_back(std::move(page));
    for (;;) {
        const auto next = std::find_if(waiting_.begin(), waiting_.end(), [this](const HarvestedPage& p) {
            return p.index == nextHandOver_;
        });
        if (next == waiting_.end()) return;
        HarvestedPage ready = std::move(*next);
        waiting_.erase(next);
        ++nextHandOver_;
        sink_->pageRead(std::move(ready));
        if (nextHandOver_ == pageEnd()) {
            if (!finished_) sink_->finished();
            finished_ = true;
            return;
        }
    }
}

void HarvestSession::finishIfDone() {
    std::lock_guard lock(handOverLock_);
    if (finished_ || nextHandOver_ != pageEnd()) return;
    finished_ = true;
    sink_->finished();
}

}  // namespace lumigrab
