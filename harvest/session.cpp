#include "harvest/session.h"

#include <algorithm>

namespace lumigrab {

HarvestSession::HarvestSession(HarvestSettings settings, std::shared_ptr<HarvestSink> sink)
    : settings_(std::move(settings)), sink_(std::move(sink)) {}

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

void HarvestSession::work(const std::atomic<bool>* cancel, const WorkerGang& gang) {
    for (;;) {
        if (gang.stopped()) return;
        const std::int32_t index = nextPage_.fetch_add(1);
        if (index >= settings_.pages) return;
        sink_->pageStarted(index);
        HarvestedPage page = fetchPage(index, cancel);
        if (gang.stopped()) return;
        handOver(std::move(page));
    }
}

void HarvestSession::visitFrontPageOnce(const std::atomic<bool>* cancel) {
    std::lock_guard lock(visitLock_);
    if (visited_ || !settings_.visitFrontPage) return;
    visited_ = true;
    cookies_ = VisitFrontPage(settings_.serviceOrigin, cancel, frontPageNote_);
}

HarvestedPage HarvestSession::fetchPage(std::int32_t index, const std::atomic<bool>* cancel) {
    visitFrontPageOnce(cancel);
    HarvestedPage page;
    page.index = index;
    page.fetched = true;
    const Text url = BuildResultPageUrl(settings_.serviceOrigin, settings_.keyword, PageOffset(index),
                                        settings_.widthFilter, settings_.heightFilter);
    // Each page gets the visit's cookies as they were, whatever the other
    // pages are told to set meanwhile.
    CookieJar jar = cookies();
    page.answer = GetFollowing(url, jar, cancel);
    const Text array = CutPictureArray(page.answer.body);
    page.hasArray = !array.empty();
    if (page.hasArray) {
        // The body has served its purpose; a page that failed keeps it for
        // whoever describes what came back.
        Bytes().swap(page.answer.body);
        page.reading = ReadPictureArray(array);
    }
    return page;
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
        if (nextHandOver_ == settings_.pages) {
            sink_->finished();
            return;
        }
    }
}

}  // namespace lumigrab
