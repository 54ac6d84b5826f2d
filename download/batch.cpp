#include "download/batch.h"

#include <algorithm>
#include <chrono>
#include <map>

namespace lumigrab {
namespace {

// A worker keeps its body's storage for the next picture, unless it grew past
// this: one huge picture must not pin its size in every worker for good.
constexpr std::size_t kKeptBodyCapacity = std::size_t{8} << 20;

}  // namespace

DownloadBatch::DownloadBatch(std::vector<DownloadItem> items, BatchOptions options, Finished finished,
                             Wanted wanted)
    : items_(std::move(items)),
      options_(std::move(options)),
      finished_(std::move(finished)),
      wanted_(std::move(wanted)) {
    // Jobs in the order of each address's first item, so pictures are
    // fetched in list order.
    std::map<Text, std::size_t> jobOfUrl;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const auto [found, added] = jobOfUrl.try_emplace(items_[i].url, jobs_.size());
        if (added) jobs_.emplace_back();
        jobs_[found->second].items.push_back(i);
    }
}

int DownloadBatch::start(WorkerGang& gang) {
    const int workers = std::clamp(WorkerLimit(options_.workers), 1,
                                   std::max<int>(1, static_cast<int>(jobs_.size())));
    int started = 0;
    for (int w = 0; w < workers; ++w) {
        if (options_.allowWorker && !options_.allowWorker(w)) continue;
        auto self = shared_from_this();
        if (gang.startIfFree(workers, [self, gang] { self->work(gang); }) == WorkerGang::Start::Started)
            ++started;
    }
    return started;
}

void DownloadBatch::work(const WorkerGang& gang) {
    // A batch started right after a stop waits until the stopped batch's
    // transfers, cancelled already, are gone; a stop of this one ends the wait.
    for (const WorkerGang& earlier : options_.waitFor) {
        while (!earlier.waitIdle(std::chrono::milliseconds(100))) {
            if (gang.stopped()) return;
        }
    }
    Bytes body;
    for (;;) {
        if (gang.stopped()) return;
        const std::size_t j = nextJob_.fetch_add(1);
        if (j >= jobs_.size()) return;
        runJob(jobs_[j], gang.cancelFlag(), body);
        body.clear();
        if (body.capacity() > kKeptBodyCapacity) Bytes().swap(body);
    }
}

void DownloadBatch::runJob(const Job& job, const std::atomic<bool>* cancel, Bytes& body) {
    std::vector<std::size_t> live;
    for (std::size_t item : job.items) {
        if (!wanted_ || wanted_(item)) {
            live.push_back(item);
        } else {
            finished_(item, ItemResult{ItemResult::Kind::Gone, {}});
        }
    }
    if (live.empty()) return;
    const Text& url = items_[live.front()].url;
    if (url.empty()) {
        for (std::size_t item : live) finished_(item, ItemResult{ItemResult::Kind::NoAddress, {}});
        return;
    }
    const PictureFetch first =
        FetchPicture(url, items_[live.front()].path, PictureFetchOptions{cancel, options_.sha256}, body);
    finished_(live.front(), ItemResult{ItemResult::Kind::Fetched, first});
    // The same picture under the other names: a copy of the bytes in hand,
    // not a second fetch.
    for (std::size_t k = 1; k < live.size(); ++k) {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return;
        finished_(live[k], ItemResult{ItemResult::Kind::Fetched, SaveCopy(first, body, items_[live[k]].path)});
    }
}

}  // namespace lumigrab
