#include "download/batch.h"

#include <algorithm>
#include <chrono>
#include <numeric>
#include <utility>

#include "net/http_connection.h"
#include "net/redirects.h"
#include "text/text.h"

namespace lumigrab {
namespace {

// A worker keeps its body's storage for the next picture while it is a
// block of the heap. A larger one has a mapping of its own, filled only as
// far as bytes came: keeping it would keep every worker at the size of its
// largest picture so far.
constexpr std::size_t kKeptBodyCapacity = kMappedBlockBytes;

}  // namespace

DownloadBatch::DownloadBatch(std::vector<DownloadItem> items, BatchOptions options, Finished finished,
                             Wanted wanted)
    : items_(std::move(items)),
      options_(std::move(options)),
      finished_(std::move(finished)),
      wanted_(std::move(wanted)) {
    // Items with one address side by side (in list order among themselves,
    // as the sort is stable), without a copy of any address.
    std::vector<std::uint32_t> byAddress(items_.size());
    std::iota(byAddress.begin(), byAddress.end(), 0u);
    std::stable_sort(byAddress.begin(), byAddress.end(),
                     [this](std::uint32_t a, std::uint32_t b) { return items_[a].url < items_[b].url; });
    // Jobs in the order of each address's first item, so pictures are
    // fetched in list order.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> groups;  // first item, where in byAddress
    for (std::size_t i = 0; i < byAddress.size(); ++i) {
        if (i == 0 || items_[byAddress[i]].url != items_[byAddress[i - 1]].url)
            groups.emplace_back(byAddress[i], static_cast<std::uint32_t>(i));
    }
    std::sort(groups.begin(), groups.end());
    byJob_.reserve(items_.size());
    jobStart_.reserve(groups.size() + 1);
    for (const auto& [first, at] : groups) {
        jobStart_.push_back(static_cast<std::uint32_t>(byJob_.size()));
        for (std::size_t i = at; i < byAddress.size() && items_[byAddress[i]].url == items_[first].url; ++i)
            byJob_.push_back(byAddress[i]);
    }
    jobStart_.push_back(static_cast<std::uint32_t>(byJob_.size()));
    if (options_.perHost > 0) taken_.assign(groups.size(), 0);
}

std::span<const std::uint32_t> DownloadBatch::job(std::size_t j) const {
    return std::span(byJob_).subspan(jobStart_[j], jobStart_[j + 1] - jobStart_[j]);
}

int DownloadBatch::start(WorkerGang& gang) {
    const int workers = std::clamp(WorkerLimit(options_.workers), 1,
                                   std::max<int>(1, static_cast<int>(jobStart_.size() - 1)));
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
    BodyReservation held;
    std::mt19937 random(std::random_device{}());
    for (;;) {
        const std::optional<std::size_t> j = takeJob(gang);
        if (!j) return;
        runJob(job(*j), gang, body, held, random);
        jobDone(*j);
        body.clear();
        if (body.capacity() > kKeptBodyCapacity) Bytes().swap(body);
        held.releaseAll();
    }
}

std::optional<std::size_t> DownloadBatch::takeJob(const WorkerGang& gang) {
    if (gang.stopped()) return std::nullopt;
    const std::size_t jobs = jobStart_.size() - 1;
    if (options_.perHost <= 0) {
        const std::size_t j = nextJob_.fetch_add(1);
        if (j >= jobs) return std::nullopt;
        return j;
    }
    std::unique_lock lock(hostsLock_);
    for (;;) {
        if (gang.stopped()) return std::nullopt;
        while (firstOpen_ < jobs && taken_[firstOpen_]) ++firstOpen_;
        if (firstOpen_ == jobs) return std::nullopt;
        for (std::size_t j = firstOpen_; j < jobs; ++j) {
            if (taken_[j]) continue;
            int& busy = inFlight_[UrlOrigin(items_[job(j).front()].url)];
            if (busy >= options_.perHost) continue;
            taken_[j] = 1;
            ++busy;
            return j;
        }
        // Every job left is to a full host. A finished job wakes this; so
        // does the bound, which lets a stop be seen.
        hostFreed_.wait_for(lock, std::chrono::milliseconds(100));
    }
}

void DownloadBatch::jobDone(std::size_t j) {
    if (options_.perHost <= 0) return;
    {
        std::lock_guard lock(hostsLock_);
        --inFlight_[UrlOrigin(items_[job(j).front()].url)];
    }
    hostFreed_.notify_all();
}

void DownloadBatch::report(std::size_t item, ItemResult result) const {
    result.path = &items_[item].path;
    finished_(item, result);
}

void DownloadBatch::runJob(std::span<const std::uint32_t> sharing, const WorkerGang& gang, Bytes& body,
                           BodyReservation& held, std::mt19937& random) {
    const std::atomic<bool>* cancel = gang.cancelFlag();
    std::vector<std::size_t> live;
    for (std::size_t item : sharing) {
        if (!wanted_ || wanted_(item)) {
            live.push_back(item);
        } else {
            report(item, ItemResult{ItemResult::Kind::Gone, {}});
        }
    }
    if (live.empty()) return;
    const Text& url = items_[live.front()].url;
    if (url.empty()) {
        for (std::size_t item : live) report(item, ItemResult{ItemResult::Kind::NoAddress, {}});
        return;
    }
    PictureFetch first;
    RetrySchedule schedule(options_.retry, std::chrono::steady_clock::now());
    for (;;) {
        first = FetchPicture(url, items_[live.front()].path, PictureFetchOptions{cancel, options_.sha256, options_.keep}, body, held);
        first.tries = schedule.tries();
        const std::optional<std::chrono::milliseconds> pause =
            schedule.next(first.status, first.failure, first.retryAfter, std::chrono::steady_clock::now(), random);
        if (!pause || !gang.sleepUnlessStopped(*pause)) break;
    }
    report(live.front(), ItemResult{ItemResult::Kind::Fetched, first});
    // The same picture under the other names: a copy of the bytes in hand,
    // not a second fetch.
    for (std::size_t k = 1; k < live.size(); ++k) {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return;
        report(live[k], ItemResult{ItemResult::Kind::Fetched, SaveCopy(first, body, items_[live[k]].path, options_.keep)});
    }
}

}  // namespace lumigrab
