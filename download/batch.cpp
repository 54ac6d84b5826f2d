#include "download/batch.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "net/retry.h"
#include "text/text.h"

namespace lumigrab {
namespace {

// A worker keeps its body's storage for the next picture, unless it grew past
// this: one huge picture must not pin its size in every worker for good.
constexpr std::size_t kKeptBodyCapacity = std::size_t{8} << 20;

// "scheme://name[:port]" of an address, in lower case; the per-host limit
// counts transfers by it.
std::string HostOf(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return {};
    const std::size_t end = url.find_first_of("/?#", scheme + 3);
    std::string host(url.substr(0, end));
    for (char& c : host) c = AsciiLower(c);
    return host;
}

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
        if (added) jobs_.push_back(Job{{}, HostOf(items_[i].url), false});
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
    std::mt19937 random(std::random_device{}());
    for (;;) {
        const std::optional<std::size_t> j = takeJob(gang);
        if (!j) return;
        runJob(jobs_[*j], gang, body, random);
        jobDone(*j);
        body.clear();
        if (body.capacity() > kKeptBodyCapacity) Bytes().swap(body);
    }
}

std::optional<std::size_t> DownloadBatch::takeJob(const WorkerGang& gang) {
    if (gang.stopped()) return std::nullopt;
    if (options_.perHost <= 0) {
        const std::size_t j = nextJob_.fetch_add(1);
        if (j >= jobs_.size()) return std::nullopt;
        return j;
    }
    std::unique_lock lock(hostsLock_);
    for (;;) {
        if (gang.stopped()) return std::nullopt;
        while (firstOpen_ < jobs_.size() && jobs_[firstOpen_].taken) ++firstOpen_;
        if (firstOpen_ == jobs_.size()) return std::nullopt;
        for (std::size_t j = firstOpen_; j < jobs_.size(); ++j) {
            Job& job = jobs_[j];
            if (job.taken || inFlight_[job.host] >= options_.perHost) continue;
            job.taken = true;
            ++inFlight_[job.host];
            return j;
        }
        // Every job left is to a full host. A finished job wakes this; so
        // does the bound, which lets a stop be seen.
        hostFreed_.wait_for(lock, std::chrono::milliseconds(100));
    }
}

void DownloadBatch::jobDone(std::size_t job) {
    if (options_.perHost <= 0) return;
    {
        std::lock_guard lock(hostsLock_);
        --inFlight_[jobs_[job].host];
    }
    hostFreed_.notify_all();
}

void DownloadBatch::runJob(const Job& job, const WorkerGang& gang, Bytes& body, std::mt19937& random) {
    const std::atomic<bool>* cancel = gang.cancelFlag();
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
    PictureFetch first;
    for (int tries = 1;; ++tries) {
        first = FetchPicture(url, items_[live.front()].path, PictureFetchOptions{cancel, options_.sha256}, body);
        first.tries = tries;
        if (tries > options_.retries || !WorthRetrying(first.status, first.failure)) break;
        if (!gang.sleepUnlessStopped(RetryPause(tries, first.retryAfter, random))) break;
    }
    finished_(live.front(), ItemResult{ItemResult::Kind::Fetched, first});
    // The same picture under the other names: a copy of the bytes in hand,
    // not a second fetch.
    for (std::size_t k = 1; k < live.size(); ++k) {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return;
        finished_(live[k], ItemResult{ItemResult::Kind::Fetched, SaveCopy(first, body, items_[live[k]].path)});
    }
}

}  // namespace lumigrab
